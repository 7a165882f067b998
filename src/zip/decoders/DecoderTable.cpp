// The methods the member reader decodes, one row each.

#include "Bzip2Decoder.h"
#include "Decoder.h"
#include "DeflateDecoder.h"
#include "LzmaDecoder.h"
#include "StoredDecoder.h"
#include "XzDecoder.h"
#include "ZstdDecoder.h"

namespace Tamsor {

namespace {

template <class D>
std::unique_ptr<Decoder> make(const DecoderSetup&, const std::vector<unsigned char>* pState) {
    return std::unique_ptr<Decoder>(new D(pState));
}

// For decoders that need to know where their member's output or payload ends.
template <class D>
std::unique_ptr<Decoder> makeFor(const DecoderSetup& setup, const std::vector<unsigned char>* pState) {
    return std::unique_ptr<Decoder>(new D(setup, pState));
}

std::unique_ptr<Decoder> makeStored(const DecoderSetup&, const std::vector<unsigned char>*) {
    return std::unique_ptr<Decoder>(new StoredDecoder);
}

const DecoderKind kKinds[] = {
    {0, "stored", &makeStored, true},
    {8, "deflated", &make<DeflateDecoder>, true},
    {12, "bzip2", &makeFor<Bzip2Decoder>, false},
    {14, "LZMA", &makeFor<LzmaDecoder>, false},
    {93, "zstd", &makeFor<ZstdDecoder>, false},
    {95, "xz", &makeFor<XzDecoder>, false},
};

}  // namespace

const DecoderKind* decoderFor(std::uint16_t uiMethod) {
    for (const DecoderKind& kind : kKinds)
        if (kind.uiMethod == uiMethod) return &kind;
    return nullptr;
}

}  // namespace Tamsor
