// Value layouts: any text as the normalised value of any syntax, laid out by NWDSGetAttrVal's
// rules into an area of exactly the size NWDSComputeAttrValSize gives, then rendered.
//
// Input: the first byte picks the syntax (its low seven bits modulo 31, so one past the last
// known syntax too) and, with its high bit, whether the attribute is named "GUID"; the rest is
// the value's text. An area one byte short must be refused, never written past.
#include "directory/client/values.h"
#include "fuzz_support.h"
#include "report/decode.h"

#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const nuint32 syntax = (data[0] & 0x7F) % 31;
    const bool guid = (data[0] & 0x80) != 0;
    const std::string_view text = kvx::fuzz::asText(data + 1, size - 1);

    kvx::client::validValue(syntax, text);
    nuint32 seconds = 0;
    kvx::client::parseGeneralizedTime(text, &seconds);

    const std::size_t need = kvx::client::layoutSize(syntax, text);
    KVX_FUZZ_CHECK(need > 0);
    // malloc'ed exactly to size (aligned for any record), so AddressSanitizer sees every byte
    // read or written past the end.
    void* area = std::malloc(need);
    KVX_FUZZ_CHECK(area != nullptr);
    KVX_FUZZ_CHECK(kvx::client::layoutValue(syntax, text, area, need) == 0);
    std::string rendered;
    kvx::DecodeAttribute(guid ? "GUID" : "Description", area, syntax, rendered);
    std::free(area);

    void* small = std::malloc(need - 1 > 0 ? need - 1 : 1);
    KVX_FUZZ_CHECK(small != nullptr);
    KVX_FUZZ_CHECK(kvx::client::layoutValue(syntax, text, small, need - 1) != 0);
    std::free(small);
    return 0;
}
