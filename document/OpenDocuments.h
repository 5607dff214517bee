// The process's open documents in creation order. Automation and test configurations walk it.
#pragma once

#include <algorithm>
#include <string>
#include <unordered_map>
#include <vector>

class CKelvaro32Doc;

class OpenDocuments {
public:
    void Append(CKelvaro32Doc* doc) { docs_.push_back(doc); }
    void Remove(CKelvaro32Doc* doc)
    {
        std::erase(docs_, doc);
        ForgetPath(doc);
    }
    const std::vector<CKelvaro32Doc*>& All() const { return docs_; }
    bool Empty() const { return docs_.empty(); }
    std::size_t Size() const { return docs_.size(); }
    auto begin() const { return docs_.begin(); }
    auto end() const { return docs_.end(); }

    /// Records the file `doc` now belongs to (CKelvaro32Doc::SetPathName); empty: none.
    void SetPath(CKelvaro32Doc* doc, const std::string& path)
    {
        ForgetPath(doc);
        if (path.empty())
            return;
        byPath_[path].push_back(doc);
        pathOf_[doc] = path;
    }
    /// The open document of the file `path` (the first opened when two share it), or null.
    /// Looked up by name: opening thousands of files must not compare each with every other.
    CKelvaro32Doc* FindByPath(const std::string& path) const
    {
        const auto it = byPath_.find(path);
        if (it == byPath_.end() || it->second.empty())
            return nullptr;
        if (it->second.size() == 1)
            return it->second.front();
        for (CKelvaro32Doc* doc : docs_)
            if (std::find(it->second.begin(), it->second.end(), doc) != it->second.end())
                return doc;
        return nullptr;
    }

private:
    void ForgetPath(CKelvaro32Doc* doc)
    {
        const auto it = pathOf_.find(doc);
        if (it == pathOf_.end())
            return;
        const auto entry = byPath_.find(it->second);
        if (entry != byPath_.end()) {
            std::erase(entry->second, doc);
            if (entry->second.empty())
                byPath_.erase(entry);
        }
        pathOf_.erase(it);
    }

    std::vector<CKelvaro32Doc*> docs_;
    std::unordered_map<std::string, std::vector<CKelvaro32Doc*>> byPath_;
    std::unordered_map<const CKelvaro32Doc*, std::string> pathOf_;
};
