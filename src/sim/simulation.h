// Robot simulation: with it on, robot commands are answered from canned
// response files instead of the serial port.
#pragma once

// Off at start; set once per server run by the simulator's start-up.
extern bool SimulationEnabled;
