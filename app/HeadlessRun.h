// What the headless program does after start-up: the files and overrides of its command line.
#pragma once

struct HeadlessOptions;
class CKelvaro32App;

/// Applies --tcp-port, restores .tst files, opens the other files as documents and prints one
/// line per connection opened or failed. False when nothing can be served.
bool StartHeadless(CKelvaro32App& app, const HeadlessOptions& options);
