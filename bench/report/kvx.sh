# The benchmarks' report (sourced): a Tabular report of five attributes of a generated tree.
# shellcheck shell=bash
kvx() { # NAME CLASS OUTFILE WINDOW FILE
    cat <<KVX
[KORVANEX]
TreeName=Default
Context1=Gen
ContextCount=1
classtype=$2
chkOutputWindow=$4
chkOutputFile=$5
chkHideEmptyColumns=1
txtOutputFilename=$3
txtOutputSeparator=,
chkOutputEncloseQuotes=0
chkOutputColumnHeaders=1
optResultsTabular=1
optResultsTabularCross=0
optResultsNonTabular=0
cboAttributesMulti=-1
AttributeCount=5
lvwSelectedeAttributes0=Surname
lvwSelectedeAttributesSingle0=Multi
lvwSelectedeAttributesSyntax0=CI_String
lvwSelectedeAttributes1=Given Name
lvwSelectedeAttributesSingle1=Multi
lvwSelectedeAttributesSyntax1=CI_String
lvwSelectedeAttributes2=Telephone Number
lvwSelectedeAttributesSingle2=Multi
lvwSelectedeAttributesSyntax2=Tel_Number
lvwSelectedeAttributes3=Internet EMail Address
lvwSelectedeAttributesSingle3=Multi
lvwSelectedeAttributesSyntax3=CI_String
lvwSelectedeAttributes4=Login Time
lvwSelectedeAttributesSingle4=Single
lvwSelectedeAttributesSyntax4=Time
KVX
}
