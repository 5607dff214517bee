// Placeholder: reading and writing land with the settings work.
#include "app/SettingsStore.h"

SettingsStore::SettingsStore(std::string folder)
    : folder_(std::move(folder)), settingsPath_(folder_ + "/kv64comm2.cfg"), aliasPath_(folder_ + "/kelvaro64.ali")
{
}

void SettingsStore::Load(const RememberedState&) const {}
void SettingsStore::Save(const RememberedState&) const {}
