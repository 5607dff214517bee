// Auto simulation: once a second every simulated point of every document may change.
#pragma once

class OpenDocuments;

/// One tick of the main timer over every document, in creation order.
void RunSimulation(OpenDocuments& documents);
