#include "connections/SerialDevices.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

namespace {

// Compares digit runs by value so that ttyS2 sorts before ttyS10.
bool NaturalLess(const std::string& a, const std::string& b)
{
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) && std::isdigit(static_cast<unsigned char>(b[j]))) {
            std::size_t ie = i, je = j;
            while (ie < a.size() && std::isdigit(static_cast<unsigned char>(a[ie])))
                ++ie;
            while (je < b.size() && std::isdigit(static_cast<unsigned char>(b[je])))
                ++je;
            std::string_view da(a.data() + i, ie - i), db(b.data() + j, je - j);
            while (da.size() > 1 && da.front() == '0')
                da.remove_prefix(1);
            while (db.size() > 1 && db.front() == '0')
                db.remove_prefix(1);
            if (da.size() != db.size())
                return da.size() < db.size();
            if (da != db)
                return da < db;
            i = ie;
            j = je;
        } else {
            if (a[i] != b[j])
                return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

} // namespace

std::vector<std::string> ListSerialDevices([[maybe_unused]] const std::string& devRoot)
{
    std::vector<std::string> devices;
#ifdef _WIN32
    for (int n = 1; n <= 32; ++n)
        devices.push_back("COM" + std::to_string(n));
#else
    namespace fs = std::filesystem;
    std::error_code ec;
    std::vector<std::string> local;
    for (fs::directory_iterator it(devRoot, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        for (const char* prefix : {"ttyS", "ttyUSB", "ttyACM"}) {
            const std::string p(prefix);
            if (name.size() > p.size() && name.compare(0, p.size(), p) == 0
                && std::isdigit(static_cast<unsigned char>(name[p.size()]))) {
                local.push_back(it->path().string());
                break;
            }
        }
    }
    std::sort(local.begin(), local.end(), NaturalLess);
    devices = std::move(local);
    std::vector<std::string> byId;
    ec.clear();
    for (fs::directory_iterator it(devRoot + "/serial/by-id", ec), end; !ec && it != end; it.increment(ec))
        byId.push_back(it->path().string());
    std::sort(byId.begin(), byId.end(), NaturalLess);
    devices.insert(devices.end(), byId.begin(), byId.end());
#endif
    return devices;
}
