// What the headless program does after start-up: the files and overrides of its command line.
#pragma once

struct HeadlessOptions;
class CKelvaro32App;

/// Applies --tcp-port, restores .tst files, opens the other files as documents (served on
/// Modbus/TCP when no .tst is named) and prints one line per connection opened ("open: ...") or
/// failed ("failed: ...") and one per test configuration restored ("restored: ..."). Runs
/// inside the event loop and stops early once the program is asked to end.
/// False when files were named and not one could be opened.
bool StartHeadless(CKelvaro32App& app, const HeadlessOptions& options);
/// Ends --capture and --traffic-log: the files closed whole, one line each on stdout
/// ("capture: FILE, N packets, M frame records dropped"). False when one could not be written.
bool StopHeadlessRecording(CKelvaro32App& app);
