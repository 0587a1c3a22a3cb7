#include "host/processor_scenario.h"


namespace qz::test_host {

namespace {

std::string peerEntry(const std::string& name, const std::string& extra) {
    return "{\"Name\": \"" + name + "\", \"Command\": \"" + std::string(QZ_PEER_PROGRAM) + "\"" + extra + "}";
}

std::vector<std::string> names(const nlohmann::json& list) {
    std::vector<std::string> out;
    if (list.is_array()) {
        for (const auto& item : list) {
            if (item.is_string()) out.push_back(item.get<std::string>());
        }
    }
    return out;
}

}  // namespace

void addExternalProcessorFiles(RoadRigOptions& options) {
    options.dataFiles["postprocessors/external_postprocessors.json"] =
        "[" + peerEntry("echo-post", ", \"Objects\": [{\"ID\": \"qz.echo\", \"Name\": \"Echo\"}]") + "]";
    options.dataFiles["preprocessors/external_preprocessors.json"] =
        "[" + peerEntry("echo-pre", ", \"Schedule\": \"TENSOR\"") + "]";
}

ProcessorSummary checkExternalProcessors(TestHost& host) {
    ProcessorSummary summary;
    const nlohmann::json qzAI = host.server().serverDocument()["parameters"]["qzAI"];
    summary.publishedPre = names(qzAI.value("availablePreprocessors", nlohmann::json::array()));
    summary.publishedPost = names(qzAI.value("availablePostprocessors", nlohmann::json::array()));
    summary.ok = summary.publishedPre == std::vector<std::string>{"echo-pre"} &&
                 summary.publishedPost == std::vector<std::string>{"echo-post"};
    if (!summary.ok) summary.problem = "the configured processors were not published";
    return summary;
}

void printProcessorSummary(const ProcessorSummary& summary, FILE* out) {
    auto join = [](const std::vector<std::string>& list) {
        std::string text;
        for (const std::string& name : list) text += (text.empty() ? "" : ", ") + name;
        return text.empty() ? std::string("none") : text;
    };
    std::fprintf(out, "external processors published: pre-processors [%s], post-processors [%s]%s\n",
                 join(summary.publishedPre).c_str(), join(summary.publishedPost).c_str(),
                 summary.ok ? "" : (" - " + summary.problem).c_str());
}

}  // namespace qz::test_host
