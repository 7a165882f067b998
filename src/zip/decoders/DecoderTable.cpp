// The methods the member reader decodes, one row each.

#include "Decoder.h"
#include "DeflateDecoder.h"
#include "StoredDecoder.h"

namespace Tamsor {

namespace {

template <class D>
std::unique_ptr<Decoder> make(const std::vector<unsigned char>* pState) {
    return std::unique_ptr<Decoder>(new D(pState));
}

std::unique_ptr<Decoder> makeStored(const std::vector<unsigned char>*) {
    return std::unique_ptr<Decoder>(new StoredDecoder);
}

const DecoderKind kKinds[] = {
    {0, "stored", &makeStored, true},
    {8, "deflated", &make<DeflateDecoder>, true},
};

}  // namespace

const DecoderKind* decoderFor(std::uint16_t uiMethod) {
    for (const DecoderKind& kind : kKinds)
        if (kind.uiMethod == uiMethod) return &kind;
    return nullptr;
}

}  // namespace Tamsor
