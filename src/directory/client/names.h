// Directory names: LDAP distinguished names (RFC 4514) and the typeless / typed dotted names the
// client hands out.
//
//   DN        cn=Ann Smith,ou=Sales,o=Acme
//   typeless  Ann Smith.Sales.Acme          ("." inside a value written "\.", "\" as "\\")
//   typed     CN=Ann Smith.OU=Sales.O=Acme  (the attribute type in upper case)
//
// A name component with several values (cn=a+uid=b) keeps them joined by "+" in both forms.
// Nothing here limits the length of a name.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kvx::client::names {

// One relative distinguished name: its attribute type as written (possibly "cn+uid" for a
// multi-valued one) and its value with every DN escape undone.
struct Rdn {
    std::string type;
    std::string value;
};

// Parses an RFC 4514 DN, most specific component first. Escapes ("\," "\2C"), quoted values and
// blanks around separators are handled; the empty DN gives no components. False (with `why`)
// for a DN that does not read.
bool parseDn(std::string_view dn, std::vector<Rdn>& out, std::string* why = nullptr);
// Parses only the first (most specific) component of a DN into `out`, and sets `rest` to the
// text of the DN after its separator (empty for a DN of one component). False (with `why`) when
// that component does not read or a separator ends the DN; the rest is not checked.
bool parseFirstRdn(std::string_view dn, Rdn& out, std::string_view& rest,
                   std::string* why = nullptr);

// The typeless / typed full name of a DN; a DN that does not read gives "" and false.
bool dnToTypeless(std::string_view dn, std::string& out);
bool dnToTyped(std::string_view dn, std::string& out);
std::string dnToTypeless(std::string_view dn); // the DN itself when it does not read
// Appends the typeless name of a DN to `out`; on false `out` is left as it was.
bool appendTypelessDn(std::string_view dn, std::string& out);
// True for a DN with at least one component that reads.
bool validDn(std::string_view dn);

// Escapes a name component for a dotted name: "." -> "\.", "\" -> "\\".
std::string escapeComponent(std::string_view value);
void appendEscapedComponent(std::string& out, std::string_view value);
// Escapes an attribute value for a DN (RFC 4514 section 2.4).
std::string escapeDnValue(std::string_view value);

// Splits a dotted name at its unescaped periods into components with escapes undone. A leading
// period (an absolute name) is skipped; empty components are kept as empty strings.
std::vector<std::string> splitName(std::string_view name);
// Joins components back into a dotted name, escaping each.
std::string joinName(const std::vector<std::string>& components);

// Splits one typed component "CN=Ann" into type and value; false when it has no "=".
bool splitTypedComponent(std::string_view component, std::string& type, std::string& value);

// Builds an LDAP DN from typed components (types and values, most specific first).
std::string toDn(const std::vector<Rdn>& rdns);

// The typeless name and the LDAP DN of a typed full name: "CN=Ann Lee.OU=Sales.O=Acme" gives
// "Ann Lee.Sales.Acme" and "cn=Ann Lee,ou=Sales,o=Acme" (types in lower case). False, with
// both left empty, for a name with a component that carries no type.
bool typedToTypelessAndDn(std::string_view typed, std::string& typeless, std::string& dn);

// ASCII case-insensitive comparison, as the client compares names.
// The value of one hexadecimal digit (either case), or -1.
int hexDigit(char c);
bool equalNoCase(std::string_view a, std::string_view b);
std::string lowerAscii(std::string_view text);

// True for the root's names: "", "[root]" (any case) and ".".
bool isRootName(std::string_view name);

// The full name meant by `name` given a name context: a name with a leading period is already
// full (the period is removed); otherwise the name context is appended unless it is the root.
std::string resolveName(std::string_view name, std::string_view nameContext);

// `fullName` as seen from `nameContext`: the context's suffix removed (matched component by
// component, without regard to case). A name not below the context, or any name when the
// context is the root, is returned whole; the context itself gives "".
std::string relativeName(std::string_view fullName, std::string_view nameContext);

} // namespace kvx::client::names
