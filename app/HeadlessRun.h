// What the headless program does after start-up: the files and overrides of its command line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

struct HeadlessOptions;
class CKelvaro32App;
namespace behaviour { class BehaviourBook; }

/// Applies --tcp-port, restores .tst files, opens the other files as documents (served on
/// Modbus/TCP when no .tst is named) and prints one line per connection opened ("open: ...") or
/// failed ("failed: ...") and one per test configuration restored ("restored: ..."). Runs
/// inside the event loop and stops early once the program is asked to end.
/// False when files were named and not one could be opened, or when a port named by an option
/// (--tcp-port, --udp-port, --rtu-over-tcp-port, --tls-port) could not be opened.
bool StartHeadless(CKelvaro32App& app, const HeadlessOptions& options);
/// Prints the behaviour log's lines after sequence `after` on `out`, one a line ("behaviour:
/// SCRIPT: TEXT"); returns the last sequence printed (`after` when none). The headless program
/// calls it every 100 ms from StartHeadless on.
std::uint64_t PrintBehaviourLog(const behaviour::BehaviourBook& book, std::uint64_t after, std::FILE* out);
/// Ends --capture and --traffic-log: the files closed whole, one line each on stdout
/// ("capture: FILE, N packets, M frame records dropped"). False when one could not be written.
bool StopHeadlessRecording(CKelvaro32App& app);
/// --access-report: the access statistics and unserved requests written to `path` (atomically).
/// False, said on stderr, when the file cannot be written.
bool WriteAccessReport(CKelvaro32App& app, const std::string& path);
/// Makes the application style hand out each standard icon once, shared: every data window
/// (a QMdiSubWindow) otherwise decodes and keeps its own copy of the same picture, which with
/// thousands of documents open is most of their start-up time and memory. Call after the
/// QApplication is made.
void ShareStandardIcons();
