// Generators' points in the open documents: the words of unit/type/address inside one document's
// block. The application passes its list of open data windows; it calls the runner's
// ForgetOwner(doc) before a document goes.
#pragma once

#include "behaviour/GeneratorRunner.h"

class OpenDocuments;

namespace behaviour {

class DocumentPoints final : public PointSource {
public:
    explicit DocumentPoints(const OpenDocuments& documents) : documents_(documents) {}
    std::optional<PointTarget> Resolve(int unit, int type, std::uint32_t address, int words) override;
    std::vector<PointBlock> Blocks() override;

private:
    const OpenDocuments& documents_;
};

} // namespace behaviour
