// Set-up extras (NAME.tst.json, --scenario, LoadScenario): the one reader of the file that
// carries fault rules and server settings. Whatever it takes must be writable and read back the
// same, and every fault rule it takes must be one the engine accepts.
#include "app/SetupExtras.h"
#include "engine/FaultRules.h"
#include "fuzz/files/FuzzCheck.h"

#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string error;
    const auto extras = ParseSetupExtras(text, error);
    if (!extras) {
        FUZZ_CHECK(!error.empty());
        return 0;
    }
    if (extras->faults) {
        for (const pomrel::FaultRule& rule : *extras->faults) {
            FUZZ_CHECK(pomrel::CheckFaultRule(rule).empty());
            // Whatever a rule says, deciding on a request is safe.
            const std::uint8_t pdu[] = {3, 0, 0, 0, 1};
            pomrel::FaultSet set({rule}, pomrel::FaultSet::Clock::now());
            set.Decide(pomrel::DescribeRequest({}, 1, pdu, sizeof pdu), pomrel::FaultSet::Clock::now());
        }
    }
    const std::string written = SerializeSetupExtras(*extras);
    const auto again = ParseSetupExtras(written, error);
    FUZZ_CHECK(again.has_value());
    FUZZ_CHECK(*again == *extras);
    return 0;
}
