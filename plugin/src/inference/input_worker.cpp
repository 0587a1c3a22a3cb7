// Frame intake: InferenceManager::sendInputMessage on the host's frame
// threads and processAndSendInput on the input workers' pool.
#include <exception>
#include <string>

#include "common/log.h"
#include "common/scoped_timer.h"
#include "inference/processors/preprocessor_exchanges.h"
#include "external/processor_config.h"
#include "inference/inference_engine.h"
#include "inference/inference_manager.h"
#include "inference/output_validation.h"
#include "inference/preprocessing/input_tensors.h"
#include "inference/video_frame.h"

namespace qz::vms_server_plugins::analytics::qzai {

// What one input worker owns: everything sendInputMessage prepared for one
// top-level stage of one frame.
struct InferenceManager::InputJob {
    std::shared_ptr<VideoFrame> frame;  // frame road only
    int64_t width = 0;
    int64_t height = 0;
    std::shared_ptr<const DeviceAgentSettings_t> settings;  // keeps `stage` alive
    std::shared_ptr<const DeviceAgentDetails_t> details;
    const pipeline_stage_parameters_t* stage = nullptr;
    int64_t timestampUs = 0;
    TensorSetPtr tensors;  // direct road only
    InferenceResultCallback callback;
};

// Lets a host thread into sendInputMessage while `accepting` holds and
// counts it, so that the engine is replaced or destroyed only when none of
// them can still be using it. A thread that finds `accepting` cleared leaves
// without touching the counter: however fast refused frames keep coming,
// the count drains as soon as the threads already inside are done.
class IntakeGuard {
public:
    IntakeGuard(const std::atomic<bool>& accepting, std::atomic<int>& active) : m_active(active) {
        if (!accepting.load()) return;
        m_active.fetch_add(1);
        // Checked again after counting: pauseIntake clears the flag before it
        // reads the count, so either it sees this thread or this thread sees
        // the cleared flag.
        m_inside = accepting.load();
        if (!m_inside) m_active.fetch_sub(1);
    }
    ~IntakeGuard() {
        if (m_inside) m_active.fetch_sub(1);
    }
    IntakeGuard(const IntakeGuard&) = delete;
    IntakeGuard& operator=(const IntakeGuard&) = delete;

    explicit operator bool() const { return m_inside; }

private:
    std::atomic<int>& m_active;
    bool m_inside = false;
};

void InferenceManager::sendInputMessage(qz::sdk::Ptr<qz::sdk::analytics::IUncompressedVideoFrame> frame,
                                        std::shared_ptr<const DeviceAgentSettings_t> settings,
                                        std::shared_ptr<const DeviceAgentDetails_t> details,
                                        InferenceResultCallback callback) {
    // Nothing may escape towards the host.
    try {
        ScopedTimer timer("sendInputMessage");
        IntakeGuard intake(m_accepting, m_activeIntakes);
        InferenceEngine* engine = intake ? m_engine.get() : nullptr;
        if (!engine || engine->state() == InferenceEngine::kStateStopping || !m_accepting.load() || !frame || !settings || !details) {
            logMessage(
                "Warning! Tried sending message to inference engine before it's initialized, while it's "
                "stopping, or while it's being reconfigured.\n");
            return;
        }

        for (const pipeline_stage_parameters_t& stage : settings->stages) {
            engine->recordInputTime(*details);
            timer.mark("input logging");
            if (!engine->hasInputRoom()) {
                logInfo("Warning! Engine not ready for input.\n");
                continue;
            }
            // A model whose declared inputs cannot be made is refused here,
            // before any frame work; the reason is logged once per stage.
            if (!hasUsableInputs(stage)) continue;
            WorkerPermit permit = WorkerPermit::tryTake(m_inputPermits);
            if (!permit) {
                logMessage("Warning! Input processing queue is full!\n");
                continue;
            }

            auto job = std::make_unique<InputJob>();
            job->timestampUs = frame->timestampUs();
            if (stage.needsFrame) {
                const uint32_t layout = stage.model ? static_cast<uint32_t>(stage.model->input.order) : 0;
                job->frame = std::make_shared<VideoFrame>(frame.get(), layout, m_framePool);
                timer.mark("rgb_frame");
            } else {
                job->tensors = prepareRuntimeInput(frame.get(), stage, stage.cropBox);
                if (!job->tensors) {
                    logMessage("Warning! Could not preprocess frame!\n");
                    continue;  // the permit goes back with `permit`
                }
                timer.mark("preprocessDirect");
            }
            job->width = frame->width();
            job->height = frame->height();

            if (!m_accepting.load()) {
                logInfo("Rejecting input: engine is being reconfigured.\n");
                continue;  // permit and prepared data are freed here
            }

            job->settings = settings;
            job->details = details;
            job->stage = &stage;
            job->callback = callback;
            try {
                // The pool gives the permit back once the job and what it
                // holds are gone; if no thread can be started, it does so at
                // once, frees the job and throws.
                m_inputWorkers.submit(std::move(permit), [this, job = std::move(job)] {
                    try {
                        processAndSendInput(*job);
                    } catch (const std::exception& e) {
                        logMessage("Error! Input worker failed: %s\n", e.what());
                    } catch (...) {
                        logMessage("Error! Input worker failed with an unknown error.\n");
                    }
                });
            } catch (const std::exception& e) {
                logMessage("Error! Could not start an input worker: %s\n", e.what());
                continue;
            }
            timer.mark("thread_dispatch");
        }
    } catch (const std::exception& e) {
        logMessage("Error! Frame intake failed: %s\n", e.what());
    } catch (...) {
        logMessage("Error! Frame intake failed with an unknown error.\n");
    }
}

void InferenceManager::processAndSendInput(InputJob& job) {
    ScopedTimer timer("processAndSendInput");
    const pipeline_stage_parameters_t& stage = *job.stage;
    if (!job.tensors) {
        // An image pre-processor's answer feeds the preprocessing only; the
        // request keeps the worker's frame.
        std::shared_ptr<VideoFrame> replacement;
        if (stage.preprocessor && job.details)
            replacement = runImagePreprocessor(job.timestampUs, *job.frame, stage, *job.details);
        const VideoFrame& source = replacement ? *replacement : *job.frame;
        job.tensors = qzai_module_video_preprocessing(source, stage, stage.cropBox);
        if (!job.tensors) {
            // Recurs on every frame of the stage; the cause, if it is the
            // model's declaration, was logged once already.
            logInfo("Could not preprocess frame for stage %s.\n", stage.key.c_str());
            return;
        }
    }
    timer.mark("preprocess");

    auto request = std::make_shared<InferenceInput_t>();
    request->timestampUs = job.timestampUs;
    request->frame = std::move(job.frame);
    request->frameWidth = job.width;
    request->frameHeight = job.height;
    request->settings = std::move(job.settings);
    request->details = std::move(job.details);
    request->stage = &stage;
    request->region = regionOfCropBox(stage.cropBox);
    request->callback = std::move(job.callback);
    if (stage.preprocessor) {
        if (TensorSetPtr replaced = TensorsPreprocessor(*request, *job.tensors)) {
            // The runtime reads the inputs by the model's declaration.
            std::string problem;
            if (!matchesInputSet(*replaced, *job.tensors, problem)) {
                logMessage("Warning! Tensor pre-processor %s answered tensors that do not match the model's inputs "
                           "(%s); stage %s skips this frame.\n",
                           stage.preprocessor->name.c_str(), problem.c_str(), stage.key.c_str());
                return;
            }
            job.tensors = std::move(replaced);
        }
    }
    timer.mark("inference input");
    m_engine->sendInput(std::move(request), job.tensors.release());
    timer.mark("sendInput");
}

}  // namespace qz::vms_server_plugins::analytics::qzai
