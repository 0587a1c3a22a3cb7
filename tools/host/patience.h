// Deadlines of the test host's waits, scaled to the build and the machine.
//
// A wait in the test host bounds how long a condition may take to come true
// (a round's packets, a camera's next packet); it never stands for how long
// the plug-in should take. The base bounds suit an optimised build with four
// processors or more. patient() stretches them by slowness(): 4 for a
// sanitised build (AddressSanitizer or ThreadSanitizer), times 2 when this
// process may run on two or three processors and 4 when on one (taskset, a
// small CI machine), where the plug-in's workers and the test share cores.
//
// Thread-safe; the processor count is read from the affinity mask on every
// call.
#pragma once

#include <chrono>

namespace qz::test_host {

int slowness();
std::chrono::milliseconds patient(std::chrono::milliseconds base);

}  // namespace qz::test_host
