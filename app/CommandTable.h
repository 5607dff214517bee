// One table maps each command id to its handler and its update step. A menu item whose id has
// no handler shows disabled. Plain code: the main frame wires QActions to it.
#pragma once

#include <functional>
#include <map>

struct CommandState {
    bool enabled = true;
    bool checked = false;
    bool checkable = false;
};

class CommandTable {
public:
    using Handler = std::function<void()>;
    using Update = std::function<void(CommandState&)>;

    /// Later registrations of the same id replace earlier ones.
    void Add(int id, Handler handler, Update update = {});
    bool Has(int id) const { return entries_.count(id) != 0; }
    /// Runs the handler; false when the id has none or its update step disables it.
    bool Execute(int id) const;
    /// The state the menu item should show right now.
    CommandState State(int id) const;

private:
    struct Entry {
        Handler handler;
        Update update;
    };
    std::map<int, Entry> entries_;
};
