// Server strings to values: any text as the stored (LDIF / LDAP) form of any syntax through the
// check loaders make and the normalisation backends apply ('#' and '$' structured values,
// Generalized Time, DNs turned into typeless names), then laid out and rendered like a value
// handed to the program.
//
// Input: the first byte picks the syntax (low seven bits modulo 31) and the name mapper (high
// bit: the client's default one, or one that upper-cases class and attribute names, as a
// backend with a schema of its own does); the rest is the server's string.
#include "directory/client/normalize.h"
#include "directory/client/values.h"
#include "fuzz_support.h"
#include "report/decode.h"

#include <cstdlib>
#include <string>

namespace {

class UpperMapper : public kvx::client::NameMapper {
public:
    void appendClassName(std::string_view ldapName, std::string& out) const override {
        appendUpper(ldapName, out);
    }
    void appendAttributeName(std::string_view ldapName, std::string& out) const override {
        appendUpper(ldapName, out);
    }

private:
    static void appendUpper(std::string_view s, std::string& out) {
        for (char c : s)
            out.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const nuint32 syntax = (data[0] & 0x7F) % 31;
    const std::string_view stored = kvx::fuzz::asText(data + 1, size - 1);
    static const kvx::client::NameMapper plain;
    static const UpperMapper upper;
    const kvx::client::NameMapper& mapper =
        (data[0] & 0x80) ? static_cast<const kvx::client::NameMapper&>(upper) : plain;

    std::string why;
    kvx::client::checkStoredValue(syntax, stored, &why);
    const std::string normalised = kvx::client::normalizeValue(syntax, stored, mapper);
    // The form that reuses a string's storage gives the same, whatever the string held before.
    std::string reused = "left over from an earlier value";
    kvx::client::normalizeValue(syntax, stored, mapper, reused);
    KVX_FUZZ_CHECK(reused == normalised);

    const std::size_t need = kvx::client::layoutSize(syntax, normalised);
    void* area = std::malloc(need);
    KVX_FUZZ_CHECK(area != nullptr);
    KVX_FUZZ_CHECK(kvx::client::layoutValue(syntax, normalised, area, need) == 0);
    std::string rendered;
    kvx::DecodeAttribute("Description", area, syntax, rendered);
    std::free(area);
    return 0;
}
