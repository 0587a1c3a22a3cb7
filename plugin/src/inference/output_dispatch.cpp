// Output dispatch: the manager's output-loop thread hands every finished
// inference to an output worker of its pool, which post-processes it, feeds the
// child stages and delivers the camera's packets.
#include <chrono>
#include <exception>
#include <thread>

#include "common/log.h"
#include "common/scoped_timer.h"
#include "inference/chaining.h"
#include "inference/inference_engine.h"
#include "inference/inference_manager.h"
#include "inference/packet_assembly.h"
#include "inference/postprocessing/postprocessing.h"
#include "inference/postprocessing/postprocessing_state.h"

namespace qz::vms_server_plugins::analytics::qzai {

void InferenceManager::inferenceOutputLoop(std::stop_token stopToken) {
    logMessage("Started inference output loop\n");
    while (!stopToken.stop_requested()) {
        try {
            ScopedTimer timer("inferenceOutputLoop");
            logInfo("Inference engine output queue size: %zu\n", m_outputQueue.count.load());
            InferenceOutput entry;
            {
                std::unique_lock<std::mutex> lock(m_outputQueue.mutex);
                const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
                m_outputQueue.condition.wait_until(lock, deadline, [&] {
                    return !m_outputQueue.items.empty() || stopToken.stop_requested();
                });
                if (m_outputQueue.items.empty()) {
                    lock.unlock();
                    timer.mark("timeout");
                    continue;
                }
                entry = std::move(m_outputQueue.items.front());
                m_outputQueue.items.pop_front();
                m_outputQueue.count.fetch_sub(1);
            }
            timer.mark("output wait");

            WorkerPermit permit = WorkerPermit::tryTake(m_outputPermits);
            if (!permit) {
                logMessage("Warning! Output processing queue is full!\n");
                continue;  // the entry is freed here
            }
            if (!m_accepting.load()) {
                logInfo("Skipping output dispatch while reconfiguring.\n");
                continue;
            }
            auto job = std::make_unique<InferenceOutput>(std::move(entry));
            try {
                // As for input workers: a thread that cannot start frees the
                // entry and gives the permit back before the pool throws.
                m_outputWorkers.submit(std::move(permit), [this, job = std::move(job)] {
                    try {
                        processOutput(*job);
                    } catch (const std::exception& e) {
                        logMessage("Error! Output worker failed: %s\n", e.what());
                    } catch (...) {
                        logMessage("Error! Output worker failed with an unknown error.\n");
                    }
                });
            } catch (const std::exception& e) {
                logMessage("Error! Could not start an output worker: %s\n", e.what());
                continue;
            }
            timer.mark("thread dispatch");
        } catch (const std::exception& e) {
            logMessage("Error! Output loop pass failed: %s\n", e.what());
        } catch (...) {
            logMessage("Error! Output loop pass failed with an unknown error.\n");
        }
    }
}

void InferenceManager::sendChildInput(std::shared_ptr<InferenceInput_t> request, TensorSetPtr tensors) {
    InferenceEngine* engine = m_engine.get();
    if (!engine) {
        logMessage("Warning! No inference engine for a chained stage; dropping its input.\n");
        return;
    }
    engine->sendInput(std::move(request), tensors.release());
}

void InferenceManager::processOutput(InferenceOutput& entry) {
    ScopedTimer timer("processOutput");
    const std::shared_ptr<InferenceInput_t> request = entry.request;
    if (!request || !request->stage) return;
    PostprocessingResult result = Postprocessing(*m_postprocessingState, entry);
    timer.mark("process");

    if (!request->stage->children.empty()) {
        // The children take the output set as post-processing left it.
        chaining(*this, request, std::move(entry.output), result);
        timer.mark("chaining");
    }

    OutputPackets packets = assembleOutputPackets(result, *request->stage, request->timestampUs);
    timer.mark("gather packets");
    if (!packets.empty() && request->callback) {
        request->callback(std::move(packets.objects), std::move(packets.events), std::move(packets.bestShots));
        timer.mark("callback");
    }
}

}  // namespace qz::vms_server_plugins::analytics::qzai
