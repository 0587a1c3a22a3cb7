// Thread starts that fail as when the process runs out of threads: this test
// program's pthread_create (in manager_intake_test.cpp, plain tests only) stands in for the C library's
// and refuses with EAGAIN while asked to, so std::thread throws.
#pragma once

namespace engine_test {

// While set, threads started from the calling thread fail to start.
void failThreadStartsOnThisThread(bool fail);
// The next `count` thread starts, from any thread, fail.
void failNextThreadStarts(int count);

}  // namespace engine_test
