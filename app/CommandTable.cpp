#include "app/CommandTable.h"

void CommandTable::Add(int id, Handler handler, Update update)
{
    entries_[id] = Entry{std::move(handler), std::move(update)};
}

bool CommandTable::Execute(int id) const
{
    auto it = entries_.find(id);
    if (it == entries_.end() || !it->second.handler)
        return false;
    if (!State(id).enabled)
        return false;
    it->second.handler();
    return true;
}

CommandState CommandTable::State(int id) const
{
    CommandState state;
    auto it = entries_.find(id);
    if (it == entries_.end() || !it->second.handler) {
        state.enabled = false;
        return state;
    }
    if (it->second.update)
        it->second.update(state);
    return state;
}
