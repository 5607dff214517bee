// What the Traffic Monitor asks of the program's data windows.
#pragma once

#include "monitor/ServedValues.h"

class CMainFrame;

/// Which open data window serves a point a master reached on a link, and in which display format:
/// the open documents, the ENRON option of the connections, the units maps of the open endpoints.
monitor::ServingLookup DataWindowLookup(CMainFrame& frame);
