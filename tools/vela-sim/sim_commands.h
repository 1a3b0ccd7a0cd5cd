#pragma once

#include <string>
#include <vector>

// vela-sim's two simulators; each gets the arguments after its name.
namespace velasim {

using Args = std::vector<std::string>;

int RunSimModem(const Args& args);    // sim_modem.cpp
int RunSimTracker(const Args& args);  // sim_tracker.cpp
int RunSimFleet(const Args& args);    // sim_fleet.cpp

}  // namespace velasim
