// The runtime folder Qt asks for at start-up.
#pragma once

#include <string>

/// Qt's platform start-up looks into the runtime folder (XDG_RUNTIME_DIR) and warns when the
/// variable is unset, as it is in a container or a su shell. Nothing of ours keeps anything
/// there, so while this lives an empty private folder (0700, under the temporary folder) stands
/// in when none is set; it is removed again at the end. With XDG_RUNTIME_DIR set it does nothing.
class RuntimeDirStandIn {
public:
    RuntimeDirStandIn();
    ~RuntimeDirStandIn();
    RuntimeDirStandIn(const RuntimeDirStandIn&) = delete;
    RuntimeDirStandIn& operator=(const RuntimeDirStandIn&) = delete;

    /// The folder made, or empty when the environment named one.
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};
