#include "app/RuntimeDir.h"

#include <cstdlib>
#include <unistd.h>
#include <vector>

RuntimeDirStandIn::RuntimeDirStandIn()
{
    const char* set = std::getenv("XDG_RUNTIME_DIR");
    if (set && *set)
        return;
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = (tmp && *tmp ? std::string(tmp) : std::string("/tmp")) + "/kelvaro64-runtime-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    // mkdtemp makes it 0700, as Qt wants; when it cannot, Qt's own fallback (and warning) stays.
    if (!::mkdtemp(name.data()))
        return;
    path_ = name.data();
    ::setenv("XDG_RUNTIME_DIR", path_.c_str(), 1);
}

RuntimeDirStandIn::~RuntimeDirStandIn()
{
    if (path_.empty())
        return;
    ::unsetenv("XDG_RUNTIME_DIR");
    ::rmdir(path_.c_str());   // only when still empty: something else's files stay
}
