// The class list and the attributes page of the main window: the attributes a class can carry,
// gathered through its super classes, and the selection the report is built from.
#include "common/window.h"

#include "directory/client/faults.h"

#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTreeWidget>

#include <algorithm>

namespace {

using namespace kvx::test;
using ReportWindowTest = WindowTest;

// Lone has no super class; Wide inherits from Middle (itself below Base and Top) and from the
// auxiliary Mixin. Middle and Wide name attributes again that their super classes already have.
const char* kSchema = R"(
attributetype ( 1.3.6.1.4.1.99999.1.1 NAME 'kvxAge'
    SYNTAX 1.3.6.1.4.1.1466.115.121.1.27 SINGLE-VALUE X-NDS_NAME 'Age' )
attributetype ( 1.3.6.1.4.1.99999.1.2 NAME 'kvxLoginTime'
    SYNTAX 1.3.6.1.4.1.1466.115.121.1.24 SINGLE-VALUE X-NDS_NAME 'Login Time' )
attributetype ( 1.3.6.1.4.1.99999.1.3 NAME 'kvxStamp'
    SYNTAX 2.16.840.1.113719.1.1.5.1.19 X-NDS_NAME 'Stamp' )
attributetype ( 1.3.6.1.4.1.99999.1.4 NAME 'kvxHits'
    SYNTAX 1.3.6.1.4.1.1466.115.121.1.27 X-NDS_SYNTAX '22' X-NDS_NAME 'Hits' )
attributetype ( 1.3.6.1.4.1.99999.1.5 NAME 'kvxBadge'
    SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 X-NDS_NAME 'Badge' )
attributetype ( 1.3.6.1.4.1.99999.1.6 NAME 'kvxDesk'
    SYNTAX 1.3.6.1.4.1.1466.115.121.1.50 SINGLE-VALUE X-NDS_NAME 'Desk Phone' )
objectclass ( 1.3.6.1.4.1.99999.2.1 NAME 'kvxLone' STRUCTURAL
    MUST ( cn $ kvxDesk ) X-NDS_NAMING 'cn' X-NDS_NAME 'Lone' )
objectclass ( 1.3.6.1.4.1.99999.2.2 NAME 'kvxBase' SUP top STRUCTURAL
    MUST cn MAY ( description $ kvxAge ) X-NDS_NAMING 'cn' X-NDS_NAME 'Base' )
objectclass ( 1.3.6.1.4.1.99999.2.3 NAME 'kvxMiddle' SUP kvxBase STRUCTURAL
    MAY ( kvxAge $ kvxLoginTime $ cn ) X-NDS_NAME 'Middle' )
objectclass ( 1.3.6.1.4.1.99999.2.4 NAME 'kvxMixin' SUP top AUXILIARY
    MAY ( kvxStamp $ kvxHits ) X-NDS_NAME 'Mixin' )
objectclass ( 1.3.6.1.4.1.99999.2.5 NAME 'kvxWide' SUP ( kvxMiddle $ kvxMixin ) STRUCTURAL
    MAY ( kvxBadge $ description $ kvxDesk ) X-NDS_NAME 'Wide' )
)";

// "<Single/Multi> <syntax> <sort kind>" of the row `name` of `list`.
QString rowFields(QTreeWidget* list, const QString& name) {
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* row = list->topLevelItem(i);
        if (row->text(0) == name)
            return row->text(1) + " " + row->text(2) + " " +
                   QString::number(TfrmKorvanex::attributeSortKind(row));
    }
    return "<missing>";
}

class AttributeSelectionTest : public ReportWindowTest {
protected:
    void SetUp() override {
        ReportWindowTest::SetUp();
        serveText(kSchema, "version: 1\n");
        start();
        ASSERT_TRUE(messages.empty());
    }
    QTreeWidget* available() const { return find<QTreeWidget>("lvwAttributes"); }
    QPushButton* button(const char* name) const { return find<QPushButton>(name); }
    KvxDropDownComboBox* combo() const { return find<KvxDropDownComboBox>("cboAttributeMulti"); }
};

TEST_F(AttributeSelectionTest, ClassWithoutSuperClassShowsNamingAndMandatoryAttributesOnce) {
    chooseClass("Lone");
    EXPECT_TRUE(messages.empty());
    // CN is both the naming and a mandatory attribute: one row. Every class offers the
    // object's full name as well.
    EXPECT_EQ(captions(available()), (QStringList{"CN", "Desk Phone", "Distinguished Name"}));
    EXPECT_EQ(column(available(), 1), (QStringList{"Multi", "Single", "Single"}));
    EXPECT_EQ(column(available(), 2), (QStringList{"CI_String", "Tel_Number", "Dist_Name"}));
}

TEST_F(AttributeSelectionTest, SuperClassesContributeEveryAttributeOnceSortedByCaption) {
    chooseClass("Middle");
    EXPECT_EQ(captions(available()), (QStringList{"Age", "CN", "Description", "Distinguished Name",
                                                  "Login Time", "Object Class"}));

    // Two super classes, one a chain of three; Description and Desk Phone named twice.
    chooseClass("Wide");
    EXPECT_TRUE(messages.empty());
    const QStringList expected{
        "Age",  "Badge",      "CN",           "Description", "Desk Phone", "Distinguished Name",
        "Hits", "Login Time", "Object Class", "Stamp"};
    EXPECT_EQ(captions(available()), localeSorted(expected));
    EXPECT_EQ(captions(available()), expected);
}

TEST_F(AttributeSelectionTest, RowsCarrySingleMultiSyntaxNameAndSortKind) {
    chooseClass("Wide");
    const std::pair<const char*, const char*> rows[] = {
        {"Age", "Single Integer 1"},    {"Login Time", "Single Time 2"},
        {"Stamp", "Multi Timestamp 2"}, {"Hits", "Multi Counter 1"},
        {"Badge", "Multi CI_String 0"}, {"Object Class", "Multi Class_Name 0"},
    };
    for (const auto& [name, fields] : rows)
        EXPECT_EQ(rowFields(available(), name), fields) << name;
    // A selected row carries all of it on, field for field.
    chooseAttributes({"Stamp"});
    ASSERT_EQ(selected()->topLevelItemCount(), 1);
    EXPECT_EQ(rowFields(selected(), "Stamp"), "Multi Timestamp 2");
}

TEST_F(AttributeSelectionTest, FailureInsideASuperClassEndsOnlyThatClassesRead) {
    // Wide's own definition is the first read, Middle's the second.
    kvx::client::faults::failCall("NWDSReadClassDef", 2, -601);
    chooseClass("Wide");
    EXPECT_EQ(messageTexts(), QStringList{"NWDSReadClassDef\nCode : fffffda7"});
    // Middle, Base and what only they bring are missing; Mixin (with Top) and Wide's own are in.
    EXPECT_EQ(captions(available()),
              (QStringList{"Badge", "Description", "Desk Phone", "Distinguished Name", "Hits",
                           "Object Class", "Stamp"}));
}

TEST_F(AttributeSelectionTest, ClassListIsAlphabeticalWhateverTheClientOrder) {
    const QStringList classes = listTexts(WindowTest::classes());
    EXPECT_EQ(classes, localeSorted(classes));
    // The client serves the standard classes first (Top, Alias, ...), then the tree's own.
    for (const char* name :
         {"Top", "Alias", "Organizational Unit", "Lone", "Base", "Middle", "Mixin", "Wide"})
        EXPECT_TRUE(classes.contains(name)) << name;
    EXPECT_LT(classes.indexOf("Alias"), classes.indexOf("Top"));
    EXPECT_LT(classes.indexOf("Lone"), classes.indexOf("Wide"));
}

TEST_F(AttributeSelectionTest, ChoosingAClassEmptiesTheSelectionAndTheExpandedAttribute) {
    chooseClass("Wide");
    chooseAttributes({"Stamp", "Badge", "Age"});
    find<QRadioButton>("optResultsTabularCross")->click();
    pickExpandedAttribute("Badge");
    ASSERT_EQ(combo()->currentText(), "Badge");

    chooseClass("Middle");
    EXPECT_EQ(selected()->topLevelItemCount(), 0);
    EXPECT_EQ(combo()->count(), 0);
    EXPECT_EQ(combo()->currentText(), "");
    EXPECT_EQ(available()->topLevelItemCount(), 6);
}

TEST_F(AttributeSelectionTest, AddKeepsOrderRefusesDuplicatesAndSaysWhenNothingIsChosen) {
    chooseClass("Wide");
    chooseRow(available(), QString());
    button("cmdAttributeAdd")->click();
    EXPECT_EQ(messageTexts(), QStringList{"Select Attribute to Add"});
    EXPECT_EQ(messages[0].caption, "Korvanex");
    EXPECT_EQ(selected()->topLevelItemCount(), 0);

    messages.clear();
    chooseAttributes({"Stamp", "Age", "Badge", "Age"});
    EXPECT_TRUE(messages.empty()); // the second "Age" is dropped without a word
    EXPECT_EQ(captions(selected()), (QStringList{"Stamp", "Age", "Badge"}));
}

TEST_F(AttributeSelectionTest, AddAllReplacesAHandMadeSelectionWithTheAlphabeticalList) {
    chooseClass("Wide");
    chooseAttributes({"Stamp", "Age"});
    button("cmdAttributeAddAll")->click();
    // Every attribute of the class; the full name only when chosen by itself.
    QStringList attributes = captions(available());
    const int fullName = attributes.indexOf("Distinguished Name");
    ASSERT_GE(fullName, 0);
    attributes.removeAt(fullName);
    EXPECT_EQ(captions(selected()), attributes);
    EXPECT_EQ(selected()->topLevelItemCount(), 9);
    for (int i = 0, a = 0; i < selected()->topLevelItemCount(); ++i, ++a) {
        a += a == fullName ? 1 : 0;
        EXPECT_EQ(selected()->topLevelItem(i)->text(2), available()->topLevelItem(a)->text(2));
        EXPECT_EQ(TfrmKorvanex::attributeSortKind(selected()->topLevelItem(i)),
                  TfrmKorvanex::attributeSortKind(available()->topLevelItem(a)));
    }
}

TEST_F(AttributeSelectionTest, RemoveTakesTheChosenRowAndSaysWhenNothingIsChosen) {
    chooseClass("Wide");
    chooseAttributes({"Stamp", "Age", "Badge"});
    chooseRow(selected(), QString());
    button("cmdAttributeRemove")->click();
    EXPECT_EQ(messageTexts(), QStringList{"Select Attribute to Remove"});
    EXPECT_EQ(selected()->topLevelItemCount(), 3);

    chooseRow(selected(), "Age");
    button("cmdAttributeRemove")->click();
    EXPECT_EQ(captions(selected()), (QStringList{"Stamp", "Badge"}));
    button("cmdAttributeRemoveAll")->click();
    EXPECT_EQ(selected()->topLevelItemCount(), 0);
    EXPECT_EQ(messages.size(), 1u);
}

TEST_F(AttributeSelectionTest, DropDownListsOnlyMultiRowsInSelectionOrder) {
    chooseClass("Wide");
    // Only single-valued attributes: the list opens empty.
    chooseAttributes({"Age", "Login Time"});
    dropDownCombo();
    EXPECT_TRUE(comboItems().isEmpty());

    chooseAttributes({"Stamp", "CN", "Desk Phone", "Badge"});
    // Adding rows does not touch the items; opening the list rebuilds them.
    EXPECT_TRUE(comboItems().isEmpty());
    dropDownCombo();
    EXPECT_EQ(comboItems(), (QStringList{"Stamp", "CN", "Badge"}));
    // Opening and closing without choosing leaves the expanded attribute empty.
    EXPECT_EQ(combo()->currentText(), "");
}

// The expanded attribute is always one of the selected attributes: removing another keeps the
// choice, removing it clears the choice (a Tabular Cross run then asks for one instead of
// running with an attribute it does not request).
TEST_F(AttributeSelectionTest, RemovingTheExpandedAttributeTakesItOutOfTheCombo) {
    chooseClass("Wide");
    chooseAttributes({"Badge", "Stamp", "Hits"});
    find<QRadioButton>("optResultsTabularCross")->click();
    pickExpandedAttribute("Stamp");
    ASSERT_EQ(combo()->currentText(), "Stamp");

    chooseRow(selected(), "Badge");
    button("cmdAttributeRemove")->click();
    EXPECT_EQ(combo()->currentText(), "Stamp");
    chooseRow(selected(), "Stamp");
    button("cmdAttributeRemove")->click();
    EXPECT_EQ(captions(selected()), QStringList{"Hits"});
    EXPECT_EQ(combo()->currentText(), "");
    EXPECT_FALSE(comboItems().contains("Stamp"));

    pickExpandedAttribute("Hits");
    button("cmdAttributeRemoveAll")->click();
    EXPECT_EQ(combo()->currentText(), "");
    EXPECT_TRUE(comboItems().isEmpty());
}

// Arrow keys and typing choose a class as a click does, and load its attributes; a click on the
// class already chosen keeps the selection built for it.
TEST_F(AttributeSelectionTest, KeyboardChoosesAClassAsAClickDoes) {
    auto* classes = find<QListWidget>("lstNDSClasses");
    chooseClass("Lone");
    ASSERT_TRUE(captions(available()).contains("Desk Phone"));
    QTest::keyClick(classes, Qt::Key_Down);
    ASSERT_EQ(classes->currentItem()->text(), "Middle");
    EXPECT_TRUE(captions(available()).contains("Login Time"));
    EXPECT_FALSE(captions(available()).contains("Desk Phone"));
    QTest::keyClicks(classes, "Wi");
    ASSERT_EQ(classes->currentItem()->text(), "Wide");
    EXPECT_TRUE(captions(available()).contains("Badge"));

    chooseAttributes({"Badge", "Stamp"});
    chooseClass("Wide");
    EXPECT_EQ(captions(selected()), (QStringList{"Badge", "Stamp"}));
}

// The sample tree: "User" carries everything of Top, Person, Organizational Person and User.
TEST_F(ReportWindowTest, SampleUserListsItsWholeInheritedAttributeSet) {
    serveSampleTree();
    start();
    chooseClass("User");
    EXPECT_TRUE(messages.empty());
    const QStringList expected{
        // Top, Person
        "Object Class", "Surname", "CN", "userPassword", "Telephone Number", "See Also",
        "Description",
        // Organizational Person
        "OU", "Title", "x121Address", "registeredAddress", "destinationIndicator",
        "preferredDeliveryMethod", "telexNumber", "teletexTerminalIdentifier",
        "internationaliSDNNumber", "Facsimile Telephone Number", "SA", "Postal Office Box",
        "Postal Code", "Postal Address", "Physical Delivery Office Name", "S", "L",
        // User
        "Given Name", "Initials", "Internet EMail Address", "uniqueID", "Business Category",
        "Full Name", "Employee ID", "Group Membership", "Security Equals", "Equivalent To Me",
        "Profile", "Profile Membership", "Default Queue", "Message Server", "Mailbox ID",
        "EMail Address", "Language", "Home Directory", "Network Address",
        "Network Address Restriction", "Login Intruder Address", "Password Required",
        "Password Allow Change", "Password Unique Required", "Password Minimum Length",
        "Password Expiration Interval", "Password Expiration Time", "Login Disabled",
        "Locked By Intruder", "Login Intruder Attempts", "Login Intruder Reset Time",
        "Login Grace Limit", "Login Grace Remaining", "Login Maximum Simultaneous", "Login Time",
        "Last Login Time", "Login Expiration Time", "Login Allowed Time Map", "Login Script",
        "Print Job Configuration", "Allow Unlimited Credit", "Account Balance",
        "Minimum Account Balance", "Server Holds", "GUID", "ACL", "Back Link", "Revision",
        "Last Referenced Time", "Vendor Extension Data", "Distinguished Name"};
    ASSERT_EQ(expected.size(), 75);
    auto* list = find<QTreeWidget>("lvwAttributes");
    EXPECT_EQ(captions(list), localeSorted(expected));

    const std::pair<const char*, const char*> rows[] = {
        {"Password Minimum Length", "Single Integer 1"},
        {"Revision", "Single Counter 1"},
        {"Password Expiration Interval", "Single Interval 1"},
        {"Login Time", "Single Time 2"},
        {"Last Referenced Time", "Single Timestamp 2"},
        {"Telephone Number", "Multi Tel_Number 0"},
        {"Group Membership", "Multi Dist_Name 0"},
        {"Language", "Single CI_List 0"},
        {"Vendor Extension Data", "Multi Unknown 0"},
    };
    for (const auto& [name, fields] : rows)
        EXPECT_EQ(rowFields(list, name), fields) << name;
}

} // namespace
