// The archive reader under every read the file formats use, in an order the input picks:
//   byte 0    bits 0..4: number of reads n; bit 7: read the file back with a limit one byte short
//   n bytes   the reads: low 3 bits the kind, high 5 bits the size of a raw read
//   the rest  the archive itself (also written to a scratch file for ReadWholeFile)
// Each value is checked against the bytes decoded here independently, the position moves by
// exactly what was read, and the first failed read leaves the reader failed for good.
#include "document/Archive.h"
#include "document/FileAccess.h"
#include "fuzz/files/FuzzCheck.h"

#include <cstring>
#include <vector>

namespace {

std::uint64_t Le(const std::uint8_t* p, int n)
{
    std::uint64_t v = 0;
    for (int i = 0; i < n; ++i)
        v |= static_cast<std::uint64_t>(p[i]) << (8 * i);
    return v;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static kvfuzz::ScratchFile scratch("kelvaro-fuzz-archive");
    if (size < 1)
        return 0;
    const std::size_t reads = data[0] & 31u;
    const bool shortLimit = (data[0] & 0x80u) != 0;
    if (size < 1 + reads)
        return 0;
    const std::uint8_t* ops = data + 1;
    const std::uint8_t* body = data + 1 + reads;
    const std::size_t n = size - 1 - reads;

    ArchiveReader in(body, n);
    bool failed = false;
    for (std::size_t k = 0; k < reads; ++k) {
        const std::size_t at = in.Position();
        FUZZ_CHECK(at <= n);
        FUZZ_CHECK(in.Remaining() == (failed ? 0 : n - at));
        const std::size_t left = n - at;
        bool ok = false;
        std::size_t used = 0;
        switch (ops[k] & 7u) {
        case 0: { auto v = in.U8();  ok = v.has_value(); used = 1; if (ok) FUZZ_CHECK(*v == Le(body + at, 1)); break; }
        case 1: { auto v = in.U16(); ok = v.has_value(); used = 2; if (ok) FUZZ_CHECK(*v == Le(body + at, 2)); break; }
        case 2: { auto v = in.U32(); ok = v.has_value(); used = 4; if (ok) FUZZ_CHECK(*v == Le(body + at, 4)); break; }
        case 3: { auto v = in.I32(); ok = v.has_value(); used = 4;
                  if (ok) FUZZ_CHECK(static_cast<std::uint32_t>(*v) == Le(body + at, 4)); break; }
        case 4: { auto v = in.U64(); ok = v.has_value(); used = 8; if (ok) FUZZ_CHECK(*v == Le(body + at, 8)); break; }
        case 5: { auto v = in.F32(); ok = v.has_value(); used = 4;
                  if (ok) { std::uint32_t bits; std::memcpy(&bits, &*v, 4); FUZZ_CHECK(bits == Le(body + at, 4)); } break; }
        case 6: {
            auto v = in.String();
            ok = v.has_value();
            if (ok) {
                used = in.Position() - at;
                // A length prefix, then one byte per narrow character, or two per wide one (four
                // for a surrogate pair, which becomes one '?').
                FUZZ_CHECK(used >= 1 + v->size());
                FUZZ_CHECK(used <= 1 + 2 + 2 + 1 + 2 + 4 + 8 + 4 * v->size());
            }
            break;
        }
        default: {
            const std::size_t want = ops[k] >> 3;
            std::uint8_t out[32];
            std::memset(out, 0xA5, sizeof out);
            ok = in.Raw(out, want);
            used = want;
            if (ok)
                FUZZ_CHECK(std::memcmp(out, body + at, want) == 0);
            else
                for (std::uint8_t b : out)
                    FUZZ_CHECK(b == 0xA5);   // a failed raw read copies nothing
            break;
        }
        }
        if (failed)
            FUZZ_CHECK(!ok);
        if (ok) {
            FUZZ_CHECK(used <= left);
            FUZZ_CHECK(in.Position() == at + used);
            FUZZ_CHECK(in.Ok());
        } else {
            // Fixed-size reads fail exactly when the bytes are not there.
            if (!failed && (ops[k] & 7u) != 6)
                FUZZ_CHECK(used > left);
            FUZZ_CHECK(!in.Ok() && in.Remaining() == 0);
            failed = true;
        }
    }

    // Whatever the body is, the writer's string form of it reads back whole.
    const std::string text(reinterpret_cast<const char*>(body), n);
    ArchiveWriter w;
    w.String(text);
    w.U16(static_cast<std::uint16_t>(Le(data, size < 2 ? size : 2)));
    ArchiveReader back(w.Bytes());
    const auto s = back.String();
    FUZZ_CHECK(s && *s == text);
    FUZZ_CHECK(back.U16() && back.Remaining() == 0 && back.Ok());

    // The file reader every format goes through, given the body as a file.
    const std::string& path = scratch.Write(body, n);
    const std::size_t limit = shortLimit && n > 0 ? n - 1 : n;
    const auto whole = ReadWholeFile(path, limit);
    if (limit < n) {
        FUZZ_CHECK(!whole);
    } else {
        FUZZ_CHECK(whole && whole->size() == n);
        FUZZ_CHECK(n == 0 || std::memcmp(whole->data(), body, n) == 0);
    }
    return 0;
}
