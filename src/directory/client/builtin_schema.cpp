// The standard attribute types and object classes every directory server already has (RFC 4519
// and RFC 4512, with their standard OIDs, and what slapd has built in that its schema files
// leave commented out), so that a tree's own schema files only define what is particular to it,
// and standard schema files load as they are. The X-NDS_NAMING and X-NDS_CONTAINMENT extensions
// give the classes the naming and containment rules the client reports for them.
#include "schema_text.h"

#include "names.h"

#include <unordered_map>

namespace kvx::client::schema {

namespace {

constexpr std::string_view kCoreSchema = R"SCHEMA(
# RFC 4512 operational and RFC 4519 user attribute types.
attributetype ( 2.5.4.0 NAME 'objectClass'
	EQUALITY objectIdentifierMatch
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.38 )
attributetype ( 2.5.4.1 NAME ( 'aliasedObjectName' 'aliasedEntryName' )
	EQUALITY distinguishedNameMatch
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.12 SINGLE-VALUE )
attributetype ( 2.5.4.41 NAME 'name'
	EQUALITY caseIgnoreMatch SUBSTR caseIgnoreSubstringsMatch
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.15{32768} )
attributetype ( 2.5.4.49 NAME 'distinguishedName'
	EQUALITY distinguishedNameMatch
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.12 )
attributetype ( 2.5.4.2 NAME 'knowledgeInformation'
	EQUALITY caseIgnoreMatch
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.15{32768} )
attributetype ( 2.5.4.3 NAME ( 'cn' 'commonName' ) SUP name )
attributetype ( 2.5.4.4 NAME ( 'sn' 'surname' ) SUP name )
attributetype ( 2.5.4.5 NAME 'serialNumber'
	EQUALITY caseIgnoreMatch SUBSTR caseIgnoreSubstringsMatch
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.44{64} )
attributetype ( 2.5.4.6 NAME ( 'c' 'countryName' ) SUP name
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.11 SINGLE-VALUE )
attributetype ( 2.5.4.7 NAME ( 'l' 'localityName' ) SUP name )
attributetype ( 2.5.4.8 NAME ( 'st' 'stateOrProvinceName' ) SUP name )
attributetype ( 2.5.4.9 NAME ( 'street' 'streetAddress' )
	EQUALITY caseIgnoreMatch SUBSTR caseIgnoreSubstringsMatch
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.15{128} )
attributetype ( 2.5.4.10 NAME ( 'o' 'organizationName' ) SUP name )
attributetype ( 2.5.4.11 NAME ( 'ou' 'organizationalUnitName' ) SUP name )
attributetype ( 2.5.4.12 NAME 'title' SUP name )
attributetype ( 2.5.4.13 NAME 'description'
	EQUALITY caseIgnoreMatch SUBSTR caseIgnoreSubstringsMatch
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.15{1024} )
attributetype ( 2.5.4.14 NAME 'searchGuide'
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.25 )
attributetype ( 2.5.4.15 NAME 'businessCategory'
	EQUALITY caseIgnoreMatch SUBSTR caseIgnoreSubstringsMatch
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.15{128} )
attributetype ( 2.5.4.16 NAME 'postalAddress'
	EQUALITY caseIgnoreListMatch SUBSTR caseIgnoreListSubstringsMatch
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.41 )
attributetype ( 2.5.4.17 NAME 'postalCode'
	EQUALITY caseIgnoreMatch SUBSTR caseIgnoreSubstringsMatch
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.15{40} )
attributetype ( 2.5.4.18 NAME 'postOfficeBox'
	EQUALITY caseIgnoreMatch SUBSTR caseIgnoreSubstringsMatch
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.15{40} )
attributetype ( 2.5.4.19 NAME 'physicalDeliveryOfficeName'
	EQUALITY caseIgnoreMatch SUBSTR caseIgnoreSubstringsMatch
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.15{128} )
attributetype ( 2.5.4.20 NAME 'telephoneNumber'
	EQUALITY telephoneNumberMatch SUBSTR telephoneNumberSubstringsMatch
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.50{32} )
attributetype ( 2.5.4.21 NAME 'telexNumber'
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.52 )
attributetype ( 2.5.4.22 NAME 'teletexTerminalIdentifier'
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.51 )
attributetype ( 2.5.4.23 NAME 'facsimileTelephoneNumber'
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.22 )
attributetype ( 2.5.4.24 NAME 'x121Address'
	EQUALITY numericStringMatch SUBSTR numericStringSubstringsMatch
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.36{15} )
attributetype ( 2.5.4.25 NAME 'internationaliSDNNumber'
	EQUALITY numericStringMatch SUBSTR numericStringSubstringsMatch
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.36{16} )
attributetype ( 2.5.4.26 NAME 'registeredAddress' SUP postalAddress
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.41 )
attributetype ( 2.5.4.27 NAME 'destinationIndicator'
	EQUALITY caseIgnoreMatch SUBSTR caseIgnoreSubstringsMatch
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.44{128} )
attributetype ( 2.5.4.28 NAME 'preferredDeliveryMethod'
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.14 SINGLE-VALUE )
attributetype ( 2.5.4.31 NAME 'member' SUP distinguishedName )
attributetype ( 2.5.4.32 NAME 'owner' SUP distinguishedName )
attributetype ( 2.5.4.33 NAME 'roleOccupant' SUP distinguishedName )
attributetype ( 2.5.4.34 NAME 'seeAlso' SUP distinguishedName )
attributetype ( 2.5.4.35 NAME 'userPassword'
	EQUALITY octetStringMatch
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.40{128} )
attributetype ( 2.5.4.42 NAME ( 'givenName' 'gn' ) SUP name )
attributetype ( 2.5.4.43 NAME 'initials' SUP name )
attributetype ( 2.5.4.44 NAME 'generationQualifier' SUP name )
attributetype ( 2.5.4.45 NAME 'x500UniqueIdentifier'
	EQUALITY bitStringMatch
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.6 )
attributetype ( 2.5.4.46 NAME 'dnQualifier'
	EQUALITY caseIgnoreMatch ORDERING caseIgnoreOrderingMatch
	SUBSTR caseIgnoreSubstringsMatch
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.44 )
attributetype ( 2.5.4.50 NAME 'uniqueMember'
	EQUALITY uniqueMemberMatch
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.34 )
attributetype ( 2.5.4.51 NAME 'houseIdentifier'
	EQUALITY caseIgnoreMatch SUBSTR caseIgnoreSubstringsMatch
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.15{32768} )
attributetype ( 0.9.2342.19200300.100.1.1 NAME ( 'uid' 'userid' )
	EQUALITY caseIgnoreMatch SUBSTR caseIgnoreSubstringsMatch
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.15{256} )
attributetype ( 0.9.2342.19200300.100.1.3 NAME ( 'mail' 'rfc822Mailbox' )
	EQUALITY caseIgnoreIA5Match SUBSTR caseIgnoreIA5SubstringsMatch
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.26{256} )
attributetype ( 0.9.2342.19200300.100.1.25 NAME ( 'dc' 'domainComponent' )
	EQUALITY caseIgnoreIA5Match SUBSTR caseIgnoreIA5SubstringsMatch
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.26 SINGLE-VALUE )
attributetype ( 1.3.6.1.4.1.250.1.57 NAME 'labeledURI'
	EQUALITY caseExactMatch
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 )
attributetype ( 0.9.2342.19200300.100.1.23 NAME 'lastModifiedTime'
	EQUALITY generalizedTimeMatch
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.24 )
attributetype ( 0.9.2342.19200300.100.1.24 NAME 'lastModifiedBy'
	EQUALITY distinguishedNameMatch
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.12 )
attributetype ( 0.9.2342.19200300.100.1.37 NAME 'associatedDomain'
	EQUALITY caseIgnoreIA5Match SUBSTR caseIgnoreIA5SubstringsMatch
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.26 )
attributetype ( 1.3.6.1.1.1.1.0 NAME 'uidNumber'
	EQUALITY integerMatch ORDERING integerOrderingMatch
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.27 SINGLE-VALUE )
attributetype ( 1.3.6.1.1.1.1.1 NAME 'gidNumber'
	EQUALITY integerMatch ORDERING integerOrderingMatch
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.27 SINGLE-VALUE )

# Operational attribute types a server keeps on every entry, which exports (slapcat) carry.
attributetype ( 2.5.21.9 NAME 'structuralObjectClass'
	EQUALITY objectIdentifierMatch
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.38 SINGLE-VALUE NO-USER-MODIFICATION
	USAGE directoryOperation )
attributetype ( 2.5.18.1 NAME 'createTimestamp'
	EQUALITY generalizedTimeMatch ORDERING generalizedTimeOrderingMatch
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.24 SINGLE-VALUE NO-USER-MODIFICATION
	USAGE directoryOperation )
attributetype ( 2.5.18.2 NAME 'modifyTimestamp'
	EQUALITY generalizedTimeMatch ORDERING generalizedTimeOrderingMatch
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.24 SINGLE-VALUE NO-USER-MODIFICATION
	USAGE directoryOperation )
attributetype ( 2.5.18.3 NAME 'creatorsName'
	EQUALITY distinguishedNameMatch
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.12 SINGLE-VALUE NO-USER-MODIFICATION
	USAGE directoryOperation )
attributetype ( 2.5.18.4 NAME 'modifiersName'
	EQUALITY distinguishedNameMatch
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.12 SINGLE-VALUE NO-USER-MODIFICATION
	USAGE directoryOperation )
attributetype ( 2.5.18.9 NAME 'hasSubordinates'
	EQUALITY booleanMatch
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.7 SINGLE-VALUE NO-USER-MODIFICATION
	USAGE directoryOperation )
attributetype ( 2.5.18.10 NAME 'subschemaSubentry'
	EQUALITY distinguishedNameMatch
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.12 SINGLE-VALUE NO-USER-MODIFICATION
	USAGE directoryOperation )
attributetype ( 1.3.6.1.1.20 NAME 'entryDN'
	EQUALITY distinguishedNameMatch
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.12 SINGLE-VALUE NO-USER-MODIFICATION
	USAGE directoryOperation )
attributetype ( 1.3.6.1.1.16.4 NAME 'entryUUID'
	EQUALITY UUIDMatch ORDERING UUIDOrderingMatch
	SYNTAX 1.3.6.1.1.16.1 SINGLE-VALUE NO-USER-MODIFICATION
	USAGE directoryOperation )
attributetype ( 1.3.6.1.4.1.4203.666.1.7 NAME 'entryCSN'
	EQUALITY CSNMatch ORDERING CSNOrderingMatch
	SYNTAX 1.3.6.1.4.1.4203.666.11.2.1{64} SINGLE-VALUE NO-USER-MODIFICATION
	USAGE directoryOperation )
attributetype ( 1.3.6.1.4.1.4203.666.1.25 NAME 'contextCSN'
	EQUALITY CSNMatch ORDERING CSNOrderingMatch
	SYNTAX 1.3.6.1.4.1.4203.666.11.2.1{64} NO-USER-MODIFICATION
	USAGE dSAOperation )

# RFC 4512 and RFC 4519 object classes.
objectclass ( 2.5.6.0 NAME 'top' ABSTRACT MUST objectClass )
objectclass ( 2.5.6.1 NAME 'alias' SUP top STRUCTURAL MUST aliasedObjectName )
objectclass ( 2.5.6.2 NAME 'country' SUP top STRUCTURAL
	MUST c
	MAY ( searchGuide $ description )
	X-NDS_NAMING 'c' )
objectclass ( 2.5.6.3 NAME 'locality' SUP top STRUCTURAL
	MAY ( street $ seeAlso $ searchGuide $ st $ l $ description )
	X-NDS_NAMING ( 'l' 'st' )
	X-NDS_CONTAINMENT ( 'country' 'locality' 'organization' 'organizationalUnit' ) )
objectclass ( 2.5.6.4 NAME 'organization' SUP top STRUCTURAL
	MUST o
	MAY ( userPassword $ searchGuide $ seeAlso $ businessCategory $ x121Address $
		registeredAddress $ destinationIndicator $ preferredDeliveryMethod $ telexNumber $
		teletexTerminalIdentifier $ telephoneNumber $ internationaliSDNNumber $
		facsimileTelephoneNumber $ street $ postOfficeBox $ postalCode $ postalAddress $
		physicalDeliveryOfficeName $ st $ l $ description )
	X-NDS_NAMING 'o'
	X-NDS_CONTAINMENT ( 'top' 'country' 'locality' ) )
objectclass ( 2.5.6.5 NAME 'organizationalUnit' SUP top STRUCTURAL
	MUST ou
	MAY ( userPassword $ searchGuide $ seeAlso $ businessCategory $ x121Address $
		registeredAddress $ destinationIndicator $ preferredDeliveryMethod $ telexNumber $
		teletexTerminalIdentifier $ telephoneNumber $ internationaliSDNNumber $
		facsimileTelephoneNumber $ street $ postOfficeBox $ postalCode $ postalAddress $
		physicalDeliveryOfficeName $ st $ l $ description )
	X-NDS_NAMING 'ou'
	X-NDS_CONTAINMENT ( 'locality' 'organization' 'organizationalUnit' ) )
objectclass ( 2.5.6.6 NAME 'person' SUP top STRUCTURAL
	MUST ( sn $ cn )
	MAY ( userPassword $ telephoneNumber $ seeAlso $ description )
	X-NDS_NAMING 'cn'
	X-NDS_CONTAINMENT ( 'organization' 'organizationalUnit' ) )
objectclass ( 2.5.6.7 NAME 'organizationalPerson' SUP person STRUCTURAL
	MAY ( title $ x121Address $ registeredAddress $ destinationIndicator $
		preferredDeliveryMethod $ telexNumber $ teletexTerminalIdentifier $
		telephoneNumber $ internationaliSDNNumber $ facsimileTelephoneNumber $ street $
		postOfficeBox $ postalCode $ postalAddress $ physicalDeliveryOfficeName $ ou $ st $ l )
	X-NDS_NAMING ( 'cn' 'ou' )
	X-NDS_CONTAINMENT ( 'organization' 'organizationalUnit' ) )
objectclass ( 2.5.6.8 NAME 'organizationalRole' SUP top STRUCTURAL
	MUST cn
	MAY ( x121Address $ registeredAddress $ destinationIndicator $ preferredDeliveryMethod $
		telexNumber $ teletexTerminalIdentifier $ telephoneNumber $ internationaliSDNNumber $
		facsimileTelephoneNumber $ seeAlso $ roleOccupant $ preferredDeliveryMethod $ street $
		postOfficeBox $ postalCode $ postalAddress $ physicalDeliveryOfficeName $ ou $ st $ l $
		description )
	X-NDS_NAMING 'cn'
	X-NDS_CONTAINMENT ( 'organization' 'organizationalUnit' ) )
objectclass ( 2.5.6.9 NAME 'groupOfNames' SUP top STRUCTURAL
	MUST ( member $ cn )
	MAY ( businessCategory $ seeAlso $ owner $ ou $ o $ description )
	X-NDS_NAMING 'cn'
	X-NDS_CONTAINMENT ( 'organization' 'organizationalUnit' ) )
objectclass ( 2.5.6.10 NAME 'residentialPerson' SUP person STRUCTURAL
	MUST l
	MAY ( businessCategory $ x121Address $ registeredAddress $ destinationIndicator $
		preferredDeliveryMethod $ telexNumber $ teletexTerminalIdentifier $ telephoneNumber $
		internationaliSDNNumber $ facsimileTelephoneNumber $ preferredDeliveryMethod $
		street $ postOfficeBox $ postalCode $ postalAddress $ physicalDeliveryOfficeName $
		st $ l ) )
objectclass ( 2.5.6.11 NAME 'applicationProcess' SUP top STRUCTURAL
	MUST cn
	MAY ( seeAlso $ ou $ l $ description ) )
objectclass ( 2.5.6.14 NAME 'device' SUP top STRUCTURAL
	MUST cn
	MAY ( serialNumber $ seeAlso $ owner $ ou $ o $ l $ description ) )
objectclass ( 2.5.6.17 NAME 'groupOfUniqueNames' SUP top STRUCTURAL
	MUST ( uniqueMember $ cn )
	MAY ( businessCategory $ seeAlso $ owner $ ou $ o $ description ) )
objectclass ( 1.3.6.1.4.1.1466.344 NAME 'dcObject' SUP top AUXILIARY MUST dc )
objectclass ( 1.3.6.1.1.3.1 NAME 'uidObject' SUP top AUXILIARY MUST uid )
objectclass ( 1.3.6.1.4.1.1466.101.120.111 NAME 'extensibleObject' SUP top AUXILIARY )
)SCHEMA";

} // namespace

std::string_view builtinCoreSchema() {
    return kCoreSchema;
}

Schema overBuiltinSchema(const Schema& tree) {
    Schema builtin;
    std::string error;
    builtin.loadText(kCoreSchema, "builtin core schema", error);
    // Every OID and LDAP name the tree's files define: a built-in definition with any of them
    // gives way to the tree's.
    auto keysOf = [](const auto& defs) {
        std::unordered_map<std::string, int> keys;
        for (int i = 0; i < static_cast<int>(defs.size()); ++i) {
            keys.emplace(names::lowerAscii(defs[i].oid), i);
            for (const std::string& n : defs[i].names)
                keys.emplace(names::lowerAscii(n), i);
        }
        return keys;
    };
    auto replacedBy = [](const auto& def, const std::unordered_map<std::string, int>& keys) {
        auto it = keys.find(names::lowerAscii(def.oid));
        if (it != keys.end())
            return it->second;
        for (const std::string& n : def.names)
            if ((it = keys.find(names::lowerAscii(n))) != keys.end())
                return it->second;
        return -1;
    };
    const auto attrKeys = keysOf(tree.attributes());
    const auto classKeys = keysOf(tree.classes());
    std::vector<AttributeTypeDef> attrs = tree.attributes();
    std::vector<ObjectClassDef> classes = tree.classes();
    Schema out;
    for (const AttributeTypeDef& b : builtin.attributes()) {
        int k = replacedBy(b, attrKeys);
        if (k < 0)
            out.addAttributeType(b);
        else if (attrs[k].oid == b.oid && attrs[k].ndsSyntaxExt < 0)
            attrs[k].ndsSyntaxExt = b.ndsSyntaxExt;
    }
    // A standard class from the tree's files keeps the naming and containment rules the
    // built-in one gives it, which standard schema files do not write.
    for (const ObjectClassDef& b : builtin.classes()) {
        int k = replacedBy(b, classKeys);
        if (k < 0) {
            out.addObjectClass(b);
            continue;
        }
        ObjectClassDef& c = classes[k];
        if (c.oid != b.oid)
            continue;
        if (c.naming.empty())
            c.naming = b.naming;
        if (c.containment.empty())
            c.containment = b.containment;
        c.containerExt = c.containerExt || b.containerExt;
    }
    for (AttributeTypeDef& a : attrs)
        out.addAttributeType(std::move(a));
    for (ObjectClassDef& c : classes)
        out.addObjectClass(std::move(c));
    return out;
}

} // namespace kvx::client::schema
