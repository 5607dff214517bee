// What a data window's point context menu asks of the Tools windows.
#pragma once

#include "behaviour/TrendSeries.h"

class CMainFrame;

/// Opens the Behaviour window with the generator editor preset to the point.
void AddGeneratorForPoint(CMainFrame& frame, const behaviour::TrendPoint& point);
/// Opens the Trend window with the point among those plotted.
void AddPointToTrend(CMainFrame& frame, const behaviour::TrendPoint& point);
