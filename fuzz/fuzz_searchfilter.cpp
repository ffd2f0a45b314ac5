// The search filter reader: any text; a filter that reads is written out and read back into the
// same filter, and the writing is stable. Every filter that reads is also checked and evaluated
// against the built-in schema, so that any assertion value goes through the matching rules.
#include "directory/client/embedded/filter_match.h"
#include "directory/client/filter_check.h"
#include "directory/client/schema_text.h"
#include "directory/client/searchfilter.h"
#include "fuzz_support.h"

#include <string>

namespace {

bool same(const kvx::client::FilterNode& a, const kvx::client::FilterNode& b) {
    if (a.kind != b.kind || a.attribute != b.attribute || a.value != b.value || a.rule != b.rule ||
        a.parts != b.parts || a.children.size() != b.children.size())
        return false;
    for (std::size_t i = 0; i < a.children.size(); ++i)
        if (!same(a.children[i], b.children[i]))
            return false;
    return true;
}

const kvx::client::schema::Schema& builtin() {
    static const kvx::client::schema::Schema schema = [] {
        kvx::client::schema::Schema s = kvx::client::schema::overBuiltinSchema({});
        std::string error;
        s.resolve(error);
        return s;
    }();
    return schema;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = kvx::fuzz::asText(data, size);
    kvx::client::FilterNode filter;
    kvx::client::FilterParseError error;
    if (!kvx::client::parseSearchFilter(text, filter, error)) {
        KVX_FUZZ_CHECK(error.position >= 1 && !error.message.empty());
        return 0;
    }
    const std::string written = kvx::client::searchFilterText(filter);
    kvx::client::FilterNode again;
    KVX_FUZZ_CHECK(kvx::client::parseSearchFilter(written, again, error));
    KVX_FUZZ_CHECK(same(filter, again));
    KVX_FUZZ_CHECK(kvx::client::searchFilterText(again) == written);

    kvx::client::filterFault(filter, builtin(), true);
    kvx::client::embedded::FilterMatcher matcher(filter, builtin());
    kvx::client::Entry entry;
    entry.attributes.push_back({"CN", 0, {std::string(text)}});
    entry.attributes.push_back({"Object Class", 0, {"organizationalPerson"}});
    matcher.matches(entry);
    return 0;
}
