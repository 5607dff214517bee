// The process's open documents in creation order. Automation and test configurations walk it.
#pragma once

#include <algorithm>
#include <vector>

class CKelvaro32Doc;

class OpenDocuments {
public:
    void Append(CKelvaro32Doc* doc) { docs_.push_back(doc); }
    void Remove(CKelvaro32Doc* doc) { std::erase(docs_, doc); }
    const std::vector<CKelvaro32Doc*>& All() const { return docs_; }
    bool Empty() const { return docs_.empty(); }
    std::size_t Size() const { return docs_.size(); }
    auto begin() const { return docs_.begin(); }
    auto end() const { return docs_.end(); }

private:
    std::vector<CKelvaro32Doc*> docs_;
};
