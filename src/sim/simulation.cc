#include "sim/simulation.h"

bool SimulationEnabled = false;
