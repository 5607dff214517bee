#include "app/CommandLine.h"

#include <algorithm>
#include <cctype>

namespace {
bool IsServerSwitch(const std::string& arg)
{
    if (arg.size() < 2 || (arg[0] != '/' && arg[0] != '-'))
        return false;
    std::string word = arg.substr(1);
    std::transform(word.begin(), word.end(), word.begin(), [](unsigned char c) { return std::tolower(c); });
    return word == "embedding" || word == "automation";
}
} // namespace

StartRequest ParseCommandLine(const std::vector<std::string>& args)
{
    StartRequest request;
    for (const auto& arg : args)
        if (IsServerSwitch(arg))
            request.automation = true;
    if (request.automation)
        return request;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (i)
            request.testConfigPath += ' ';
        request.testConfigPath += args[i];
    }
    return request;
}
