// What the bench and the stress suite need of the machine they run on, and how they describe it.
#pragma once

#include <string>

namespace farspeak::bench {

// "model, N cores, system release machine", for the head of a report.
std::string machineDescription();

// Thousands of clients need a descriptor each, in the tool and in the receiver it starts, which
// inherits the limit: the soft limit goes up to the hard one.
void raiseOpenFileLimit();

// Ends the process with exit code 2 and a message naming `program` once `seconds` have passed,
// whatever it is doing; the receivers it started die with it.
void limitWholeRun(const char* program, unsigned seconds);

}  // namespace farspeak::bench
