// The listing that runs alongside a download: it matches tar's own listing of
// the finished file, counts only for a whole download, and never holds the
// download back once tar has ended.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <random>

#include "common/run_command.h"
#include "common/support/temp_dir.h"
#include "runtimes/streamed_listing.h"
#include "runtimes/support/package_builder.h"

namespace qzai = qz::vms_server_plugins::analytics::qzai;

namespace {

std::string randomBytes(size_t size) {
    std::mt19937 generator(11);
    std::string out(size, '\0');
    for (char& c : out) c = static_cast<char>(generator());
    return out;
}

const std::vector<std::string> kListFromInput = {"tar", "--numeric-owner", "--quoting-style=c", "-tvf", "-"};

qzai::CommandOutput realTar(const std::vector<std::string>& argv, const qzai::RunOptions& options) {
    return qzai::runCommand(argv, options);
}

// Hands `data` over in download-sized blocks, then finishes.
std::optional<qzai::CommandOutput> stream(qzai::StreamedPackageListing& listing, const std::string& data,
                                          bool complete) {
    for (size_t at = 0; at < data.size(); at += 16384) listing.add(data.data() + at, std::min<size_t>(16384, data.size() - at));
    return listing.finish(complete);
}

}  // namespace

TEST(StreamedListingConcurrency, CountsOnlyAWholeDownloadAndNeverHoldsItBack) {
    // Bigger than the queue allows at once, so the download must wait for
    // tar now and then.
    qz::test::PackageBuilder builder;
    builder.file("RuntimeLibrary.dll", "library").file("weights.bin", randomBytes(12 << 20));
    const std::string package = builder.build();
    ASSERT_GT(package.size(), qzai::StreamedPackageListing::kMaxQueuedBytes);
    qz::test::TempDir dir;
    const auto path = (dir.path() / "package.tar.gz").string();
    std::ofstream(path, std::ios::binary) << package;
    std::vector<std::string> fromFile = kListFromInput;
    fromFile.back() = path;
    const qzai::CommandOutput expected = qzai::runCommand(fromFile);
    ASSERT_EQ(expected.exitCode, 0);

    {
        qzai::StreamedPackageListing listing(realTar, kListFromInput, {});
        const auto listed = stream(listing, package, true);
        ASSERT_TRUE(listed);
        EXPECT_EQ(listed->exitCode, 0);
        EXPECT_EQ(listed->output, expected.output);
    }
    {
        // tar saw every byte, but the download did not end whole.
        qzai::StreamedPackageListing listing(realTar, kListFromInput, {});
        EXPECT_FALSE(stream(listing, package, false));
    }
    {
        // tar gives up at once: the rest of the download goes on unhindered.
        const auto refusing = [](const std::vector<std::string>&, const qzai::RunOptions&) {
            return qzai::CommandOutput{2, "tar: refused"};
        };
        qzai::StreamedPackageListing listing(refusing, kListFromInput, {});
        EXPECT_FALSE(stream(listing, package + package, true));
    }
}
