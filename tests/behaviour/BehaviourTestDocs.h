// Open data windows for the behaviour window tests: documents in an OpenDocuments list, found by
// DocumentPoints as the program finds them, and a book running generators on their words.
#pragma once

#include "behaviour/BehaviourBook.h"
#include "behaviour/DocumentPoints.h"
#include "document/CKelvaro32Doc.h"
#include "document/OpenDocuments.h"
#include "engine/ProtocolEngine.h"

#include <memory>
#include <vector>

struct BehaviourBench {
    OpenDocuments open;
    std::vector<std::unique_ptr<CKelvaro32Doc>> docs;
    behaviour::DocumentPoints points{open};
    pomrel::ProtocolEngine engine;
    behaviour::BehaviourBook book{engine, points};

    CKelvaro32Doc& Add(int unit, int type, int start, int length)
    {
        auto doc = std::make_unique<CKelvaro32Doc>(DocumentContext{&open, "", nullptr});
        doc->deviceId = static_cast<std::uint8_t>(unit);
        doc->pointType = static_cast<std::uint8_t>(type);
        doc->startAddress = static_cast<std::uint16_t>(start);
        doc->length = static_cast<std::uint16_t>(length);
        docs.push_back(std::move(doc));
        return *docs.back();
    }
    ~BehaviourBench()
    {
        for (auto& d : docs)
            book.ForgetOwner(d.get());
    }
};
