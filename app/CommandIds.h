// Command ids of every menu item; each QAction carries its id.
#pragma once

#include <array>

namespace cmd {
inline constexpr int FileNew = 57600;
inline constexpr int FileOpen = 57601;
inline constexpr int FileClose = 57602;
inline constexpr int FileSave = 57603;
inline constexpr int FileSaveAs = 57604;
inline constexpr int SaveTestConfig = 32781;
inline constexpr int RestoreTestConfig = 32782;
inline constexpr int ReadFromCsv = 32906;
inline constexpr int FilePrint = 57607;
inline constexpr int FilePrintPreview = 57609;
inline constexpr int FilePrintSetup = 57606;
inline constexpr int RecentFile1 = 57616;   // 57616..57619 for the four entries
inline constexpr int AppExit = 57665;
inline constexpr int ConnectServer = 32786;
inline constexpr int DisconnectServer = 32787;
inline constexpr int Status = 32804;
inline constexpr int ShowData = 32798;
inline constexpr int ShowTraffic = 32799;
inline constexpr int FormatBinary = 32779;
inline constexpr int FormatDecimal = 32775;
inline constexpr int FormatHex = 32776;
inline constexpr int FormatLong = 32802;
inline constexpr int FormatLongSwapped = 32803;
inline constexpr int FormatFloat = 32777;
inline constexpr int FormatFloatSwapped = 32778;
inline constexpr int FormatFloat64 = 32800;
inline constexpr int FormatFloat64Swapped = 32801;
inline constexpr int ResetAliasList = 32805;
inline constexpr int Background = 32901;
inline constexpr int Foreground = 32902;
inline constexpr int Fonts = 32900;
inline constexpr int HelpTopics = 57667;
inline constexpr int AppAbout = 57664;
// The Tools menu: what goes beyond the original program.
inline constexpr int ToolsFaultInjection = 33100;
inline constexpr int ToolsNetworkServers = 33110;
inline constexpr int ToolsTrafficMonitor = 33120;
inline constexpr int ToolsBehaviour = 33140;
inline constexpr int ToolsTrend = 33150;
inline constexpr int ToolsLearn = 33160;
inline constexpr int ToolsAccessStatistics = 33180;
// Display > Access Marks (a check item).
inline constexpr int DisplayAccessMarks = 33181;

/// Connect and Disconnect of serial ports 1..32 (index = port − 1); the ids are not consecutive.
inline constexpr std::array<int, 32> ConnectPort = {
    32780, 32783, 32784, 32785, 32793, 32794, 32795, 32796, 32797, 32806, 32807,
    32808, 32809, 32810, 32811, 32812, 32813, 32814, 32815, 32816, 32828, 32829,
    32830, 32831, 32832, 32833, 32834, 32835, 32836, 32837, 32838, 32850};
inline constexpr std::array<int, 32> DisconnectPort = {
    32771, 32772, 32773, 32774, 32788, 32789, 32790, 32791, 32792, 32817, 32818,
    32819, 32820, 32821, 32822, 32823, 32824, 32825, 32826, 32827, 32839, 32840,
    32841, 32842, 32843, 32844, 32845, 32846, 32847, 32848, 32849, 32862};
} // namespace cmd
