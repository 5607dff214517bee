// Placeholder until the simulation engine lands.
#include "simulation/SimulationEngine.h"
void RunSimulation(OpenDocuments&) {}
