// The setting definitions: which items the catalogue holds for the products installed on
// this server, of which kind, under which OID or registry value, with which default, and
// the rebuild (CSettings::ReadSettings) that creates them group by group.
//
// The definitions are data: one constant table per group, in the order the rebuild creates
// (and so reads) the items. Policy OIDs are written below the enterprise arc
// 1.3.6.1.4.1.8642.
//
// Thread safety: the tables are constant. ReadSettings holds the catalogue's lock
// exclusively for the whole rebuild, so no lookup sees a half-built catalogue.
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <span>
#include <string>
#include <utility>

#include "module/module_state.h"
#include "platform/path.h"
#include "platform/registry.h"
#include "platform/system_info.h"
#include "policy/agent_messages.h"
#include "products/products.h"
#include "settings/catalogue.h"
#include "settings/definitions.h"
#include "settings/item.h"
#include "settings/table_entry.h"
#include "support/trace.h"

using support::TRACE_ERROR;
using support::TRACE_INFO;
using support::TRACE_WARNING;
using support::TraceEnabled;
using support::TraceOut;

namespace settings {

namespace {

constexpr char kEnterprise[] = "1.3.6.1.4.1.8642.";

enum class Kind : uint8_t {
  kInt,              // CIntItem
  kString,           // CStringItem
  kEncryptedString,  // CStringItem written enciphered
  kTable,            // CTableEntry, with or without default rows
};

// One policy setting. `text` and `rows` are used by the kinds that have them.
struct PolicySetting {
  const char* oid;  // below kEnterprise
  Kind kind;
  int32_t number;
  const char* text;
  const DefaultRow* rows;
  size_t row_count;
};

constexpr PolicySetting Int(const char* oid, int32_t value) {
  return {oid, Kind::kInt, value, nullptr, nullptr, 0};
}
constexpr PolicySetting Text(const char* oid, const char* value = "") {
  return {oid, Kind::kString, 0, value, nullptr, 0};
}
constexpr PolicySetting Secret(const char* oid) {
  return {oid, Kind::kEncryptedString, 0, "", nullptr, 0};
}
constexpr PolicySetting Table(const char* oid) {
  return {oid, Kind::kTable, 0, nullptr, nullptr, 0};
}
template <size_t N>
constexpr PolicySetting Table(const char* oid, const DefaultRow (&rows)[N]) {
  return {oid, Kind::kTable, 0, nullptr, rows, N};
}

// ---------------------------------------------------------------------------------------
// Endpoint values of this installation's sample configuration.

constexpr char kSampleAdministrator[] = "administrator@example.com";
constexpr char kStatisticsMailbox[] = "statistics@example.com";
constexpr char kSpamResolverId[] = "tidewall-example-0001";
constexpr char kCacheServerPattern[] = "cache%d.resolver.example.com";

// The ending of every notification text but the released-message one. A macro so that the
// texts stay single literals.
#define CV_NOTIFICATION_ENDING                                     \
  "For additional information about security threats, connect to " \
  "https://www.example.com/security/threat-information"            \
  "\n\n###########################################\n"

// ---------------------------------------------------------------------------------------
// Long string defaults, with LF line breaks (the string items keep them as CR LF).

constexpr char kUnsafeFiles[] =
    "*.ACM\n*.APP\n*.ARJ\n*.ASD\n*.ASP\n*.AX\n*.BAT\n*.BIN\n*.BOO\n*.BZ2\n*.CAB\n*.CHM\n"
    "*.CMD\n*.CNV\n*.COM\n*.CPL\n*.CSC\n*.DLL\n*.DO?\n*.DRV\n*.EML\n*.EXE\n*.GZ\n*.HLP\n"
    "*.HTA\n*.HTM*.HTML\n*.HTT\n*.INF\n*.INI\n*.JS\n*.JSE\n*.LHA\n*.LNK\n*.LZH\n*.MDB\n"
    "*.MP?\n*.MSG\n*.MSO\n*.OBD\n*.OBT\n*.OCX\n*.OV?\n*.P?T\n*.PCI\n*.PDF\n*.PGM\n*.PIF\n"
    "*.PP?\n*.PRC\n*.PWZ\n*.RAR\n*.RTF\n*.SCR\n*.SHB\n*.SHS\n*.SYS\n*.TAR\n*.TD0\n*.TGZ\n"
    "*.TLB\n*.TSP\n*.TT6\n*.VBE*.VBS\n*.VSD\n*.VWP\n*.VXD\n*.WB?\n*.WIZ\n*.WML\n*.WPC\n"
    "*.WS?\n*.XL?\n*.XML\n*.ZIP\n*.ZL?\n*.{*";

constexpr char kDisclaimer[] =
    "###########################################\n"
    "This e-mail and any files transmitted with it are confidential and \n"
    "intended solely for the use of the individual or entity to whom they \n"
    "are addressed. If you have received this e-mail in error please notify \n"
    "the system manager.";

constexpr char kUnsafeExtensions[] =
    ". ACM APP ARJ ASD ASP AX BAT BIN BOO BZ2 CAB CHM CMD CNV COM CPL CSC DLL DO? DRV EML EXE "
    "GZ HLP HTA HTM HTML HTT INF INI JS JSE LHA LNK LZH MDB MP? MSG MSO OBD OBT OCX OV? P?T "
    "PCI PDF PGM PIF PP? PRC PWZ RAR RTF SCR SHB SHS SYS TAR TD0 TGZ TLB TSP TT6 VBE VBS VSD "
    "VWP VXD WB? WIZ WML WPC WS? XL? XML ZIP ZL? {*";

constexpr char kScannedExtensions[] =
    "COM EXE SYS OV? BIN SCR DLL SHS HTM HTML HTT VBS JS INF VXD DO? XL? RTF CPL WIZ HTA PP? "
    "PWZ POT MSO PIF ACM ASP AX CNV CSC DRV INI MDB MPD MPP MPT OBD OBT OCX PCI TLB TSP WBK "
    "WBT WPC WSH VWP WML BOO HLP TD0 TT6 MSG ASD JSE VBE WSC CHM EML PRC SHB LNK WSF {* PDF "
    "ZL? XML ANI BAT CMD DOC DOT JOB LSP MHT PHP PPT SWF WMA WMV WMF WRI XLS XLT CLASS";

// ---------------------------------------------------------------------------------------
// Default table rows: integers first, then strings, handed to the table's integer and
// string columns in column order. Strings not given are empty.

// 20.1.100.40.10: the named pattern and keyword lists.
constexpr DefaultRow kListRows[] = {
    {{1, 1}, {"All Files", "*.*", "Default list for all files."}},
    {{1, 1},
     {"Disallowed Files",
      "*.BAT\n*.CMD\n*.COM\n*.EXE\n*.HTA\n*.JS\n*.JSE\n*.PIF\n*.SCR\n*.SHS\n*.VBE\n*.VBS\n*.{*",
      "Default list of files to be stripped."}},
    {{1, 0},
     {"Disallowed Message Keywords", "Sample*of*disallowed*message*text*keyword",
      "Default keyword list to filter e-mail messages with disallowed texts."}},
    {{1, 0},
     {"Disallowed Subject Keywords", "Sample*of*disallowed*message*subject*keyword",
      "Default keyword list to filter e-mail messages with disallowed subjects."}},
    {{1, 1},
     {"Executable Files", "*.BAT\n*.CMD\n*.EXE\n*.COM\n*.DLL\n*.VBS",
      "Default list of executable files."}},
    {{1, 0},
     {"Mass-Mailer Worms", "@mm\n@m\nI-Worm.\nWorm.\nIRC-Worm.\nMIRC-Worm.\nIIS-Worm.\n",
      "Default list of keywords for mass-mailer worms/infections."}},
    {{1, 1}, {"Unsafe Files", kUnsafeFiles, "Default list of files considered unsafe."}},
};

// 20.1.100.40.20: the notification and replacement texts (name, subject or file name, text;
// the fourth string is empty). The "$" words are filled in by the mail service.
constexpr DefaultRow kNotificationRows[] = {
    {{1, 0},
     {"Default Content Warning to Recipient", "Corvane Tidewall Notification",
      "###########################################\n"
      "\n"
      "Corvane Tidewall has detected undesirable content in the message sent by "
      "'$NAME-OF-SENDER'.\n"
      "\n"
      "$REPORT-BEGIN\n"
      "Action:        $TAKEN-ACTION\n"
      "Reason:        $THREAT\n"
      "Quarantine ID: $QUARANTINE-ID\n"
      "$REPORT-END\n"
      "\n"
      "If you need to access the quarantined message, please contact your system "
      "administrator.\n"
      "\n" CV_NOTIFICATION_ENDING}},
    {{1, 0},
     {"Default Content Warning to Sender", "Corvane Tidewall Notification",
      "###########################################\n"
      "\n"
      "Corvane Tidewall has detected undesirable content in your message sent to "
      "'$NAME-OF-RECIPIENT'.\n"
      "\n"
      "$REPORT-BEGIN\n"
      "Action:        $TAKEN-ACTION\n"
      "Reason:        $THREAT\n"
      "$REPORT-END\n"
      "\n" CV_NOTIFICATION_ENDING}},
    {{1, 0},
     {"Default Notification to Recipient", "Corvane Tidewall Notification",
      "###########################################\n"
      "\n"
      "Corvane Tidewall has processed the message sent by '$NAME-OF-SENDER'. The following "
      "potential security hazards have been found and corresponding actions have been "
      "taken. \n"
      "\n"
      "$REPORT-BEGIN\n"
      "File name:    $AFFECTED-FILENAME\n"
      "File size:    $AFFECTED-FILESIZE bytes\n"
      "Found threat: $THREAT\n"
      "Action:       $TAKEN-ACTION\n"
      "Quarantine ID: $QUARANTINE-ID\n"
      "$REPORT-END\n"
      "\n"
      "If you need to access quarantined file(s), please contact your system "
      "administrator.\n"
      "\n" CV_NOTIFICATION_ENDING}},
    {{1, 0},
     {"Default Notification to Sender", "Corvane Tidewall Notification",
      "###########################################\n"
      "\n"
      "Corvane Tidewall has processed your message sent to '$NAME-OF-RECIPIENT'. The "
      "following potential security hazards have been found and corresponding actions have "
      "been taken.\n"
      "\n"
      "$REPORT-BEGIN\n"
      "File name:    $AFFECTED-FILENAME\n"
      "File size:    $AFFECTED-FILESIZE bytes\n"
      "Found threat: $THREAT\n"
      "Action:       $TAKEN-ACTION\n"
      "$REPORT-END\n"
      "\n" CV_NOTIFICATION_ENDING}},
    {{1, 0},
     {"Default Released Quarantine Message", "E-mail content released from the quarantine",
      "This e-mail content was originally quarantined because it did not comply with "
      "content filtering policies or could not be scanned for viruses and other malware."}},
    {{1, 0},
     {"Default Replacement Text", "Attachment_Information.txt",
      "###########################################\n"
      "\n"
      "Corvane Tidewall on has detected $THREAT in '$AFFECTED-FILENAME' "
      "($AFFECTED-FILESIZE bytes) attached to the message. The file was removed.\n"
      "\n" CV_NOTIFICATION_ENDING}},
    {{1, 0},
     {"Default Virus Warning to Recipient", "Corvane Tidewall Notification",
      "###########################################\n"
      "\n"
      "Corvane Tidewall has processed the message sent by '$NAME-OF-SENDER'. The following "
      "potential security hazards have been found and corresponding actions have been "
      "taken.\n"
      "\n"
      "$REPORT-BEGIN\n"
      "File name:    $AFFECTED-FILENAME\n"
      "File size:    $AFFECTED-FILESIZE bytes\n"
      "Found threat: $THREAT\n"
      "Action:       $TAKEN-ACTION\n"
      "Quarantine ID: $QUARANTINE-ID\n"
      "$REPORT-END\n"
      "\n"
      "If you need to access the quarantined file(s), please contact your system "
      "administrator.\n"
      "\n" CV_NOTIFICATION_ENDING}},
    {{1, 0},
     {"Default Virus Warning to Sender", "Corvane Tidewall Notification",
      "###########################################\n"
      "\n"
      "Corvane Tidewall has processed your message sent to '$NAME-OF-RECIPIENT'. The "
      "following potential security hazards have been found and corresponding actions have "
      "been taken.\n"
      "\n"
      "$REPORT-BEGIN\n"
      "File name:    $AFFECTED-FILENAME\n"
      "File size:    $AFFECTED-FILESIZE bytes\n"
      "Found threat: $THREAT\n"
      "Action:       $TAKEN-ACTION\n"
      "$REPORT-END\n"
      "\n"
      "It is likely that your computer has been infected with this virus. Please contact "
      "your system administrator to take necessary steps to scan and disinfect your "
      "computer before sharing any files with others.\n"
      "\n"
      "A free 30-day evaluation version of Corvane Anti-Virus is available for download at "
      "https://www.example.com/downloads/anti-virus-evaluation"
      "\n\n"}},
};

#undef CV_NOTIFICATION_ENDING

// 18.1.25.10: three named entries, identifiers 10001 to 10003.
constexpr DefaultRow kNamedEntryRows[] = {
    {{10001, 200, 1}, {"Corvane Alder"}},
    {{10002, 100, 1}, {"Corvane Birch", "MFlags=0x00150002;corvane=use_birch_archives"}},
    {{10003, 50, 1}, {"Corvane Cedar"}},
};

// 11.1.18.20: one number and one list per row.
constexpr DefaultRow kNumberedRows[] = {
    {{1}, {"2.4"}},
    {{2}, {"2.4"}},
    {{3}, {"2.3,2.4"}},
    {{4}, {"2.3,2.4,4,10"}},
    {{5}, {"2.3,2.4,4,10"}},
};

// ---------------------------------------------------------------------------------------
// The policy settings, group by group, in the order the rebuild creates them.

// The mail-server anti-virus product (VXM).
constexpr PolicySetting kFirstProduct[] = {
    Text("20.1.100.10.10", kSampleAdministrator),
    Text("20.1.100.20.10"),
    Text("20.1.100.20.20"),
    Table("20.1.100.40.10", kListRows),
    Table("20.1.100.40.20", kNotificationRows),
    Text("20.1.100.50.20", ".\\quarantine"),
    Int("20.1.100.50.22", 259200000),
    Int("20.1.100.50.23", 360000),
    Table("20.1.100.50.25"),
    Int("20.1.100.50.40", 1000),
    Int("20.1.100.50.50", 200),
    Int("20.1.100.50.51", 100000),
    Int("20.1.100.50.55", 3),
    Text("20.1.100.50.120", "Default Released Quarantine Message"),
    Int("20.1.100.50.200", 480),
    Int("20.1.100.50.210", 3),
    Int("20.1.100.50.215", 1),
    Text("20.1.100.50.300", ".\\log"),
    Int("20.1.100.50.310", 8640000),
    Int("20.1.100.50.320", 8),
    Int("20.1.100.60.10", 0),
    Text("20.1.100.60.20", "200, Email.0Day.Malware\n600, High virus risk detected"),
    Text("20.1.100.60.100"),
    Int("20.1.100.60.120", 3),
    Int("20.1.100.60.130", 90000),
    Int("20.1.100.60.140", 1000),
    Int("20.1.100.60.150", 500),
    Text("20.1.100.70.10", "127.0.0.1"),
    Int("20.1.100.70.20", 18971),
    Int("20.1.100.70.30", 1),
    Int("20.1.100.70.40", 1024),
    Int("20.1.100.70.50", 600),
    Int("20.1.100.70.60", 900),
    Text("20.1.100.70.70", ".\\temp"),
    Int("20.1.200.10.10.10", 1),
    Text("20.1.200.10.10.20", "Disallowed Files"),
    Text("20.1.200.10.10.30"),
    Int("20.1.200.10.10.50", 0),
    Int("20.1.200.10.10.60", 1),
    Text("20.1.200.10.10.70"),
    Text("20.1.200.10.10.210"),
    Text("20.1.200.10.10.260"),
    Text("20.1.200.10.10.290"),
    Int("20.1.200.10.10.300", 1),
    Int("20.1.200.10.20.10", 1),
    Text("20.1.200.10.20.20", "All Files"),
    Text("20.1.200.10.20.30"),
    Int("20.1.200.10.20.100", 0),
    Int("20.1.200.10.20.110", 1),
    Int("20.1.200.10.20.120", 1),
    Text("20.1.200.10.20.130", "Mass-Mailer Worms"),
    Text("20.1.200.10.20.210"),
    Text("20.1.200.10.20.260"),
    Text("20.1.200.10.20.290", "Mass-Mailer Worms"),
    Int("20.1.200.10.20.300", 1),
    Int("20.1.200.10.20.40", 1),
    Int("20.1.200.10.20.45", 0),
    Int("20.1.200.10.30.10", 1),
    Text("20.1.200.10.30.20", "Unsafe Files"),
    Text("20.1.200.10.30.30"),
    Int("20.1.200.10.30.40", 3),
    Int("20.1.200.10.30.50", 1),
    Int("20.1.200.10.30.60", 1),
    Int("20.1.200.10.30.100", 0),
    Text("20.1.200.10.30.110", "Disallowed Files"),
    Int("20.1.200.10.30.130", 1),
    Int("20.1.200.10.30.150", 1),
    Int("20.1.200.10.30.200", 1),
    Text("20.1.300.30.100.50"),
    Int("20.1.300.30.100.20", 3),
    Int("20.1.200.10.40.10", 1),
    Int("20.1.200.10.50.10", 1),
    Int("20.1.200.10.50.100", 2),
    Text("20.1.200.10.50.110"),
    Int("20.1.200.10.50.120", 1),
    Text("20.1.200.10.50.130"),
    Text("20.1.200.10.50.210"),
    Text("20.1.200.10.50.220"),
    Text("20.1.200.10.50.230"),
    Int("20.1.200.10.50.250", 1),
    Int("20.1.200.10.60.10", 0),
    Text("20.1.200.10.60.20", "Disallowed Subject Keywords"),
    Text("20.1.200.10.60.30", "Disallowed Message Keywords"),
    Int("20.1.200.10.60.50", 2),
    Text("20.1.200.10.60.210"),
    Text("20.1.200.10.60.260"),
    Int("20.1.200.10.60.300", 1),
    Int("20.1.200.10.70.10", 1),
    Int("20.1.200.10.70.20", 0),
    Int("20.1.200.10.70.30", 5),
    Table("20.1.200.10.70.40"),
    Int("20.1.200.10.70.50", 1),
    Int("20.1.200.10.70.51", 1),
    Int("20.1.200.10.70.60", 1),
    Text("20.1.200.10.70.70", "*** SPAM ***"),
    Text("20.1.200.10.70.80"),
    Text("20.1.200.10.70.122"),
    Text("20.1.200.10.70.123"),
    Text("20.1.200.10.70.132"),
    Text("20.1.200.10.70.133"),
    Int("20.1.200.10.70.200", 200),
    Int("20.1.200.10.90.10", 1),
    Int("20.1.200.10.100.10", 1),
    Int("20.1.200.10.100.20", 3),
    Int("20.1.200.10.100.30", 1),
    Int("20.1.200.10.100.100", 1),
    Int("20.1.200.10.100.150", 1),
    Text("20.1.200.10.110.10"),
    Text("20.1.200.10.110.20"),
    Int("20.1.200.20.10.10", 1),
    Text("20.1.200.20.10.20", "Disallowed Files"),
    Text("20.1.200.20.10.30"),
    Int("20.1.200.20.10.50", 1),
    Int("20.1.200.20.10.60", 1),
    Text("20.1.200.20.10.70"),
    Text("20.1.200.20.10.210"),
    Text("20.1.200.20.10.260", "Default Notification to Sender"),
    Text("20.1.200.20.10.290"),
    Int("20.1.200.20.10.300", 1),
    Int("20.1.200.20.20.10", 1),
    Text("20.1.200.20.20.20", "Unsafe Files"),
    Text("20.1.200.20.20.30"),
    Int("20.1.200.20.20.100", 1),
    Int("20.1.200.20.20.110", 2),
    Int("20.1.200.20.20.120", 1),
    Text("20.1.200.20.20.130", "Mass-Mailer Worms"),
    Text("20.1.200.20.20.210"),
    Text("20.1.200.20.20.260", "Default Virus Warning to Sender"),
    Text("20.1.200.20.20.290", "Mass-Mailer Worms"),
    Int("20.1.200.20.20.300", 5),
    Int("20.1.200.20.20.40", 0),
    Int("20.1.200.20.20.45", 0),
    Int("20.1.200.20.30.10", 1),
    Text("20.1.200.20.30.20", "Unsafe Files"),
    Text("20.1.200.20.30.30"),
    Int("20.1.200.20.30.40", 3),
    Int("20.1.200.20.30.50", 2),
    Int("20.1.200.20.30.60", 2),
    Int("20.1.200.20.30.100", 0),
    Text("20.1.200.20.30.110", "Disallowed Files"),
    Int("20.1.200.20.30.130", 2),
    Int("20.1.200.20.30.150", 1),
    Int("20.1.200.20.30.200", 1),
    Int("20.1.200.20.40.10", 0),
    Int("20.1.200.20.60.10", 0),
    Text("20.1.200.20.60.20", "Disallowed Subject Keywords"),
    Text("20.1.200.20.60.30", "Disallowed Message Keywords"),
    Int("20.1.200.20.60.50", 2),
    Text("20.1.200.20.60.210"),
    Text("20.1.200.20.60.260"),
    Int("20.1.200.20.60.300", 1),
    Int("20.1.200.20.50.10", 0),
    Int("20.1.200.20.50.100", 2),
    Text("20.1.200.20.50.110"),
    Int("20.1.200.20.50.120", 1),
    Text("20.1.200.20.50.130"),
    Text("20.1.200.20.50.210"),
    Text("20.1.200.20.50.220"),
    Text("20.1.200.20.50.230"),
    Int("20.1.200.20.50.250", 1),
    Int("20.1.200.20.90.10", 1),
    Int("20.1.200.20.95.10", 0),
    Text("20.1.200.20.95.20", kDisclaimer),
    Int("20.1.200.20.100.10", 1),
    Int("20.1.200.20.100.20", 3),
    Int("20.1.200.20.100.30", 1),
    Int("20.1.200.20.100.100", 1),
    Int("20.1.200.20.100.150", 1),
    Text("20.1.200.20.110.10"),
    Text("20.1.200.20.110.20"),
    Int("20.1.200.30.10.10", 0),
    Text("20.1.200.30.10.20", "Disallowed Files"),
    Text("20.1.200.30.10.30"),
    Int("20.1.200.30.10.50", 0),
    Int("20.1.200.30.10.60", 1),
    Text("20.1.200.30.10.70"),
    Text("20.1.200.30.10.210"),
    Text("20.1.200.30.10.260", "Default Notification to Sender"),
    Text("20.1.200.30.10.290"),
    Int("20.1.200.30.10.300", 1),
    Int("20.1.200.30.20.10", 1),
    Text("20.1.200.30.20.20", "Unsafe Files"),
    Text("20.1.200.30.20.30"),
    Int("20.1.200.30.20.100", 1),
    Int("20.1.200.30.20.110", 1),
    Int("20.1.200.30.20.120", 1),
    Text("20.1.200.30.20.130", "Mass-Mailer Worms"),
    Text("20.1.200.30.20.210"),
    Text("20.1.200.30.20.260", "Default Virus Warning to Sender"),
    Text("20.1.200.30.20.290", "Mass-Mailer Worms"),
    Int("20.1.200.30.20.300", 5),
    Int("20.1.200.30.20.40", 0),
    Int("20.1.200.30.20.45", 0),
    Int("20.1.200.30.30.10", 1),
    Text("20.1.200.30.30.20", "Unsafe Files"),
    Text("20.1.200.30.30.30"),
    Int("20.1.200.30.30.40", 3),
    Int("20.1.200.30.30.50", 1),
    Int("20.1.200.30.30.60", 0),
    Int("20.1.200.30.30.100", 0),
    Text("20.1.200.30.30.110", "Disallowed Files"),
    Int("20.1.200.30.30.130", 1),
    Int("20.1.200.30.30.150", 1),
    Int("20.1.200.30.30.200", 1),
    Int("20.1.200.30.40.10", 0),
    Int("20.1.200.30.60.10", 0),
    Text("20.1.200.30.60.20", "Disallowed Subject Keywords"),
    Text("20.1.200.30.60.30", "Disallowed Message Keywords"),
    Int("20.1.200.30.60.50", 2),
    Text("20.1.200.30.60.210"),
    Text("20.1.200.30.60.260"),
    Int("20.1.200.30.60.300", 1),
    Int("20.1.200.30.50.10", 0),
    Int("20.1.200.30.50.100", 2),
    Text("20.1.200.30.50.110"),
    Int("20.1.200.30.50.120", 1),
    Text("20.1.200.30.50.130"),
    Text("20.1.200.30.50.210"),
    Text("20.1.200.30.50.220"),
    Text("20.1.200.30.50.230"),
    Int("20.1.200.30.50.250", 1),
    Int("20.1.200.30.90.10", 0),
    Int("20.1.200.30.100.10", 3),
    Int("20.1.200.30.100.20", 3),
    Int("20.1.200.30.100.30", 2),
    Int("20.1.200.30.100.100", 1),
    Int("20.1.200.30.100.150", 1),
    Text("20.1.200.30.110.10"),
    Text("20.1.200.30.110.20"),
    Int("20.1.300.10.1.40", 1),
    Int("20.1.300.10.1.100", 180),
    Int("20.1.300.10.10.10", 0),
    Table("20.1.300.10.10.20"),
    Table("20.1.300.10.10.30"),
    Int("20.1.300.10.10.40", 0),
    Table("20.1.300.10.10.50"),
    Table("20.1.300.10.10.60"),
    Text("20.1.300.10.10.100", "Disallowed Files"),
    Text("20.1.300.10.10.110"),
    Int("20.1.300.10.10.150", 1),
    Text("20.1.300.10.10.160"),
    Text("20.1.300.10.10.200", "Default Replacement Text"),
    Int("20.1.300.10.20.10", 1),
    Table("20.1.300.10.20.20"),
    Table("20.1.300.10.20.30"),
    Int("20.1.300.10.20.40", 1),
    Table("20.1.300.10.20.50"),
    Table("20.1.300.10.20.60"),
    Int("20.1.300.10.20.70", 1),
    Text("20.1.300.10.20.80", "Unsafe Files"),
    Text("20.1.300.10.20.90"),
    Int("20.1.300.10.20.300", 1),
    Int("20.1.300.10.20.320", 1),
    Text("20.1.300.10.20.330", "Mass-Mailer Worms"),
    Text("20.1.300.10.20.340", "Default Replacement Text"),
    Int("20.1.300.10.30.10", 0),
    Text("20.1.300.10.30.20", "Unsafe Files"),
    Text("20.1.300.10.30.30"),
    Int("20.1.300.10.30.40", 3),
    Int("20.1.300.10.30.50", 1),
    Int("20.1.300.10.30.60", 1),
    Int("20.1.300.10.30.150", 1),
    Int("20.1.300.10.50.10", 0),
    Int("20.1.300.10.50.100", 1),
    Text("20.1.300.10.50.110"),
    Int("20.1.300.10.50.120", 1),
    Text("20.1.300.10.50.130"),
    Text("20.1.300.10.50.200", "Default Replacement Text"),
    Int("20.1.300.10.90.10", 0),
    Int("20.1.300.20.1.2", 0),
    Int("20.1.300.20.1.3", 0),
    Int("20.1.300.20.1.30", 0),
    Int("20.1.300.20.1.40", 0),
    Int("20.1.300.20.20.10", 1),
    Table("20.1.300.20.20.20"),
    Table("20.1.300.20.20.30"),
    Int("20.1.300.20.20.40", 1),
    Table("20.1.300.20.20.50"),
    Table("20.1.300.20.20.60"),
    Int("20.1.300.20.20.70", 1),
    Text("20.1.300.20.20.80", "Unsafe Files"),
    Text("20.1.300.20.20.90"),
    Int("20.1.300.20.20.300", 1),
    Int("20.1.300.20.20.320", 1),
    Text("20.1.300.20.20.330", "Mass-Mailer Worms"),
    Text("20.1.300.20.20.340", "Default Replacement Text"),
    Int("20.1.300.20.20.100", 0),
    Int("20.1.300.20.20.105", 0),
    Int("20.1.300.20.30.10", 1),
    Text("20.1.300.20.30.20", "Unsafe Files"),
    Text("20.1.300.20.30.30"),
    Int("20.1.300.20.30.40", 3),
    Int("20.1.300.20.30.50", 1),
    Int("20.1.300.20.30.60", 1),
    Int("20.1.300.20.30.150", 1),
    Int("20.1.300.20.50.10", 0),
    Int("20.1.300.20.50.100", 1),
    Text("20.1.300.20.50.110"),
    Int("20.1.300.20.50.120", 1),
    Text("20.1.300.20.50.130"),
    Text("20.1.300.20.50.200", "Default Replacement Text"),
    Int("20.1.300.20.90.10", 1),
    Int("20.1.300.30.1.10", 1),
    Table("20.1.300.30.1.20"),
    Table("20.1.300.30.1.30"),
    Int("20.1.300.30.1.40", 1),
    Table("20.1.300.30.1.50"),
    Table("20.1.300.30.1.60"),
    Int("20.1.300.30.1.100", 1),
    Int("20.1.300.30.10.10", 0),
    Text("20.1.300.30.10.20", "Disallowed Files"),
    Text("20.1.300.30.10.30"),
    Int("20.1.300.30.10.60", 1),
    Text("20.1.300.30.10.70"),
    Text("20.1.300.30.10.140", "Default Replacement Text"),
    Int("20.1.300.30.20.10", 1),
    Text("20.1.300.30.20.20", "Unsafe Files"),
    Text("20.1.300.30.20.30"),
    Int("20.1.300.30.20.100", 1),
    Int("20.1.300.30.20.120", 1),
    Text("20.1.300.30.20.130", "Mass-Mailer Worms"),
    Text("20.1.300.30.20.140", "Default Replacement Text"),
    Int("20.1.300.30.20.40", 1),
    Int("20.1.300.30.20.45", 0),
    Int("20.1.300.30.30.10", 1),
    Text("20.1.300.30.30.20", "Unsafe Files"),
    Text("20.1.300.30.30.30"),
    Int("20.1.300.30.30.40", 3),
    Int("20.1.300.30.30.50", 1),
    Int("20.1.300.30.30.60", 1),
    Int("20.1.300.30.30.100", 0),
    Text("20.1.300.30.30.110", "Disallowed Files"),
    Int("20.1.300.30.30.130", 1),
    Int("20.1.300.30.30.150", 1),
    Int("20.1.300.30.50.10", 1),
    Int("20.1.300.30.50.100", 1),
    Text("20.1.300.30.50.110"),
    Int("20.1.300.30.50.120", 1),
    Text("20.1.300.30.50.130"),
    Text("20.1.300.30.50.200", "Default Replacement Text"),
    Int("20.1.300.30.90.10", 1),
    Table("20.1.300.40.10"),
};
static_assert(std::size(kFirstProduct) == 342);

// The server anti-virus product family (VXS).
constexpr PolicySetting kSecondFamily[] = {
    Text("18.1.11.10", "0.0.0.0"),
    Int("18.1.11.20", 18971),
    Text("18.1.11.30"),
    Int("18.1.11.40", 1000),
    Int("18.1.11.41", 100),
    Int("18.1.11.60", 6000),
    Int("18.1.11.70", 6000),
    Int("18.1.11.80", 4320000),
    Int("18.1.11.100", 2),
    Table("18.1.25.10", kNamedEntryRows),
    Int("18.1.25.15", 0),
    Int("18.1.25.20", 1),
    Int("18.1.25.21", 3),
    Int("18.1.25.22", 1),
    Int("18.1.25.25", 1),
    Int("18.1.25.27", 256000),
    Text("18.1.25.30", kUnsafeExtensions),
    Int("18.1.25.31", 1),
    Text("18.1.25.32", "*"),
    Int("18.1.25.34", 1),
    Int("18.1.25.36", 1),
    Int("18.1.25.37", 0),
    Int("18.1.25.38", 3),
    Text("18.1.25.39"),
    Int("18.1.25.40", 60000),
    Int("18.1.26.10", 60480000),
    Int("18.1.26.20", 10),
    Int("18.1.26.100", 0),
    Text("18.1.26.110", "127.0.0.1"),
    Int("18.1.26.120", 25),
    Text("18.1.26.130", kStatisticsMailbox),
    Int("18.1.26.150", 6000),
    Text("18.1.26.140"),
    Int("18.1.27.1", 1),
    Int("18.1.27.20", 1),
    Int("18.1.27.50", 5),
    Int("18.1.27.51", 5),
    Text("18.1.30.1", "./quarantine"),
    Int("18.1.30.2", 0),
    Int("18.1.30.10", 0),
    Int("18.1.30.20", 0),
    Text("18.1.30.21", "@mm;@m;I-Worm.;Worm.;IRC-Worm.;MIRC-Worm.;IIS-Worm."),
    Int("18.1.35.450", 2097152),
    Int("18.1.35.500", 3),
    Int("18.1.35.550", 50000),
    Text("18.1.37.100", kSpamResolverId),
    Text("18.1.37.110", kCacheServerPattern),
    Int("18.1.37.120", 80),
    Text("18.1.37.130", "/Sorrelgate/Sorrelgate.dll?DoNewRequest"),
    Int("18.1.37.140", 10000),
    Int("18.1.37.150", 10000),
    Text("18.1.37.160"),
    Text("18.1.37.170"),
    Int("18.1.37.175", 1),
    Int("18.1.37.180", 2),
    Text("18.1.37.300", "2,4,8"),
    Text("18.1.37.600"),
    Int("18.1.38.100", 0),
    Text("18.1.38.110"),
    Int("18.1.38.120", 80),
    Text("18.1.38.130", "NoAuth"),
    Text("18.1.38.140"),
    Text("18.1.38.150"),
    Secret("18.1.38.160"),
    Text("18.1.40.1", "./temp"),
    Int("18.1.40.2", 180000),
    Int("18.1.40.3", 100),
    Int("18.1.40.50", 10),
    Int("18.1.40.60", 10),
    Int("18.1.40.100", 2),
    Int("18.1.40.200", 0),
};
static_assert(std::size(kSecondFamily) == 71);

// Settings of every installation.
constexpr PolicySetting kCommon[] = {
    Int("42.1.11.1", 1),
    Int("42.1.11.3", 1),
    Int("42.1.11.7", 0),
    Table("42.1.11.8"),
    Int("42.1.11.30", 360000),
    Int("42.1.11.40", 60000),
    Int("42.1.11.50", 1),
    Int("42.1.11.4.1", 1),
    Text("42.1.11.4.3.1"),
    Table("42.1.11.20.50"),
    Int("11.1.14.1", 2),
    Int("11.1.14.2", 2),
    Text("11.1.14.4.1.1"),
    Text("11.1.14.4.1.6"),
    Text("11.1.14.4.1.7"),
    Text("11.1.14.4.2.1", "http://"),
    Int("11.1.18.2.4.2", 500),
    Text("11.1.18.2.5.1"),
    Text("11.1.18.2.5.2"),
    Text("11.1.18.2.5.3", "%HOST_DNS%: %PRODUCT_NAME% %SEVERITY% (%ALERT_NUMBER%)"),
    Table("11.1.18.20", kNumberedRows),
};
static_assert(std::size(kCommon) == 21);

// The server product.
constexpr PolicySetting kServerProduct[] = {
    Int("12.1.111.2.10", 1),
    Int("12.1.111.2.100.38", 0),
    Int("12.1.111.2.100.11", 1),
    Int("12.1.111.2.100.18", 1),
    Int("12.1.111.2.100.20", 8),
    Int("12.1.111.2.100.24", 1),
    Text("12.1.111.2.100.100.2", kScannedExtensions),
    Text("12.1.111.2.100.100.5", "ZIP JAR ARJ LZH TAR TGZ GZ CAB RAR BZ2"),
    Int("12.1.111.2.100.100.21", 0),
    Text("12.1.111.2.100.100.22"),
    Int("12.1.111.2.100.100.49", 0),
    Table("12.1.111.2.100.100.50"),
    Int("12.1.111.2.100.100.60", 0),
    Text("12.1.111.2.100.100.61"),
    Int("12.1.300.1200.111.2.100.18", 0),
    Int("12.1.300.1200.111.2.100.20", 260),
    Int("12.1.114.2.10", 1),
    Int("38.1.300.100.50", 1),
    Int("38.1.300.100.70.200", 1),
    Int("38.1.300.100.70.500", 1),
    Int("38.1.300.100.100.200", 8),
    Int("38.1.300.100.100.300", 1),
    Int("38.1.300.100.100.1000.500.100", 1),
    Int("38.1.600.1200.300.100.100.200", 0),
    Int("38.1.600.1200.300.100.150.100", 2),
    Int("38.1.300.200.100.200", 8),
    Table("38.1.300.100.200.300.210.100"),
    Table("38.2.300.100.200.300.310.100"),
    Int("12.1.160.65", 1),
    Table("12.1.160.60"),
    Int("12.1.112.2.100.11", 1),
    Int("12.1.112.2.100.20", 8),
    Int("12.1.112.2.100.38", 1),
    Text("12.1.112.2.100.100.2", kScannedExtensions),
    Int("12.1.112.2.100.100.21", 0),
    Int("12.1.112.2.100.100.49", 0),
    Text("12.1.112.2.100.100.22"),
    Table("12.1.112.2.100.100.50"),
    Int("12.1.112.2.200.100", 0),
    Int("12.1.112.2.15", 2),
    Int("12.1.112.2.16", 10),
    Int("53.1.5", 1),
    Int("53.1.10", 2),
    Int("53.1.160", 1),
    Table("53.4.11"),
    Int("61.1.3", 1),
    Int("61.1.10.1", 1),
    Int("61.1.10.25", 1),
    Table("61.1.10.20"),
    Table("61.1.10.21"),
    Int("61.1.10.5.1", 1),
    Int("61.1.10.5.2", 1),
    Int("61.1.10.5.3", 1),
    Table("61.4.10.10"),
    Int("61.1.20.1", 1),
    Table("61.1.20.20"),
    Table("61.4.20.10"),
    Int("57.1.3", 1),
};
static_assert(std::size(kServerProduct) == 58);

// ---------------------------------------------------------------------------------------
// Registry settings.

enum class RegistryKind : uint8_t {
  kInt,
  kString,
  kEncryptedString,
  kThreadsPerProcessor,  // integer: twice the processor count plus one
  kQuarantineDatabase,   // string: the database of the product family that was built
};

struct RegistrySetting {
  const char* name;
  RegistryKind kind;
  int32_t number;
  const char* text;
};

constexpr uint32_t kQuerySet = platform::kKeyQueryValue | platform::kKeySetValue;
constexpr uint32_t kReadWrite = platform::kKeyRead | platform::kKeyWrite;

// The product services, probed for their "ObjectName" value.
constexpr char kVxmServiceKey[] = "SYSTEM\\CurrentControlSet\\Services\\cvavvxmd\\";
constexpr char kVxsServiceKey[] =
    "SYSTEM\\CurrentControlSet\\Services\\Corvane Anti-Virus Server Daemon\\";
constexpr char kObjectName[] = "ObjectName";

// Opened into the catalogue's key slot.
constexpr char kVirusScanKey[] = "SYSTEM\\CurrentControlSet\\Services\\MSExchangeIS\\VirusScan";
constexpr RegistrySetting kVirusScanValues[] = {
    {"OpenRetryDelay", RegistryKind::kInt, 7500, nullptr},
    {"SendRetries", RegistryKind::kInt, 5, nullptr},
    {"SendRetryInterval", RegistryKind::kInt, 60000, nullptr},
    {"ScanningThreads", RegistryKind::kThreadsPerProcessor, 0, nullptr},
    {"ScanTimeout", RegistryKind::kInt, 180, nullptr},
};

constexpr char kWorldMapKey[] = "SOFTWARE\\Veltmark\\Corvane\\World Map Support";
constexpr RegistrySetting kWorldMapValues[] = {
    {"AdditionalRcpts", RegistryKind::kString, 0, ""},
    {"MTAAddress", RegistryKind::kString, 0, "127.0.0.1"},
    {"MTAPort", RegistryKind::kInt, 25, nullptr},
};

// Created when missing.
constexpr char kQuarantineKey[] =
    "SYSTEM\\CurrentControlSet\\Services\\Corvane Holdfast\\Parameters";
constexpr RegistrySetting kQuarantineValues[] = {
    {"DatabaseName", RegistryKind::kQuarantineDatabase, 0, nullptr},
    {"ServerAddress", RegistryKind::kString, 0, "localhost"},
    {"UserHldName", RegistryKind::kString, 0, "sa"},
    {"UserHldPassword", RegistryKind::kEncryptedString, 0, ""},
    {"SqlProvider", RegistryKind::kString, 0, "sqloledb"},
};
constexpr char kFirstProductDatabase[] = "CVVXM_Quarantine";
constexpr char kSecondFamilyDatabase[] = "CVWDL_Quarantine";

// ---------------------------------------------------------------------------------------

int32_t ProcessorCount() {
  platform::SystemInfo info;
  platform::GetSystemInfo(&info);
  return static_cast<int32_t>(info.number_of_processors);
}

// Items read their value as they are constructed.
std::unique_ptr<CItem> MakeItem(const PolicySetting& setting) {
  std::string oid = std::string(kEnterprise) + setting.oid;
  switch (setting.kind) {
    case Kind::kInt:
      return std::make_unique<CIntItem>(std::move(oid), setting.number);
    case Kind::kString:
      return std::make_unique<CStringItem>(std::move(oid), setting.text);
    case Kind::kEncryptedString:
      return std::make_unique<CStringItem>(std::move(oid), setting.text, true);
    case Kind::kTable:
      if (setting.row_count == 0) return std::make_unique<CTableEntry>(std::move(oid));
      return std::make_unique<CTableEntry>(std::move(oid), setting.rows, setting.row_count);
  }
  return nullptr;
}

std::unique_ptr<CItem> MakeItem(const platform::RegistryKey& key, const RegistrySetting& setting,
                bool second_family_built) {
  switch (setting.kind) {
    case RegistryKind::kInt:
      return std::make_unique<CIntRegItem>(key, setting.name, setting.number);
    case RegistryKind::kThreadsPerProcessor:
      return std::make_unique<CIntRegItem>(key, setting.name, 2 * ProcessorCount() + 1);
    case RegistryKind::kString:
      return std::make_unique<CStringRegItem>(key, setting.name, setting.text, false);
    case RegistryKind::kEncryptedString:
      return std::make_unique<CStringRegItem>(key, setting.name, setting.text, true);
    case RegistryKind::kQuarantineDatabase:
      return std::make_unique<CStringRegItem>(key, setting.name,
                                second_family_built ? kSecondFamilyDatabase : kFirstProductDatabase,
                                false);
  }
  return nullptr;
}

void Trace(uint32_t severity, const char* line) {
  if (TraceEnabled) TraceOut("", severity, 0, "%s", line);
}

void TraceOpenFailed(uint32_t error) {
  if (TraceEnabled) TraceOut("", TRACE_WARNING, 0, "RegOpenKeyEx() Failed : %u\n", error);
}

// Reads a service's "ObjectName" into a buffer of MAX_PATH bytes; only the outcome counts.
uint32_t QueryObjectName(platform::Hive& hive, const platform::RegistryKey& service) {
  char data[platform::kMaxPath];
  uint32_t type = 0;
  uint32_t size = sizeof data;
  return hive.QueryValue(service, kObjectName, &type, data, &size);
}

}  // namespace

void CSettings::TraceNoSession() {
  Trace(TRACE_ERROR, "Failed to read settings, CVMA is not initialized\n");
}

CSettings::GroupCounts CSettings::last_build() const {
  std::shared_lock lock(mutex_);
  return last_build_;
}

void CSettings::ReadSettings() {
  std::unique_lock lock(mutex_);
  const module::ModuleState& state = module::State();
  const bool demo = state.demo_mode != 0;
  // Either mode builds the product groups whatever the probes say.
  const bool unchecked = demo || state.no_service_check_mode != 0;
  if (!demo && policy::ReadSessionCell(state.session_cell.load()) == 0) {
    TraceNoSession();
    return;
  }
  ClearLocked();
  GroupCounts counts;
  auto add_policy = [this](std::span<const PolicySetting> group) {
    for (const PolicySetting& setting : group) AddLocked(MakeItem(setting));
    return static_cast<int>(group.size());
  };
  bool second_built = false;
  auto add_registry = [&](const platform::RegistryKey& key,
                          std::span<const RegistrySetting> values) {
    for (const RegistrySetting& setting : values) AddLocked(MakeItem(key, setting, second_built));
    return static_cast<int>(values.size());
  };
  platform::Hive& hive = platform::LocalMachine();

  // The mail-server product. Its service key is opened only to be probed.
  Trace(TRACE_INFO, "Check VXM to install.\n");
  platform::RegistryKey vxm_service;
  const bool vxm_installed = products::IsVEXMAILInstalled();
  if (vxm_installed) hive.OpenKey(kVxmServiceKey, platform::kKeyQueryValue, &vxm_service);
  const bool first_built = vxm_installed || unchecked;
  if (first_built) {
    QueryObjectName(hive, vxm_service);
    if (uint32_t error = hive.OpenKey(kVirusScanKey, kQuerySet, &key_);
        error == platform::kErrorSuccess) {
      counts.first_registry = add_registry(key_, kVirusScanValues);
    } else {
      TraceOpenFailed(error);
    }
    counts.first_policy = add_policy(kFirstProduct);
  } else {
    Trace(TRACE_WARNING, "VXM doesn't seem to be installed\n");
  }

  // The server anti-virus family: its service key must open and carry "ObjectName". In
  // either mode the group is built all the same, but a failed probe is still reported.
  Trace(TRACE_INFO, "Check VXS to install.\n");
  platform::RegistryKey vxs_service;
  uint32_t status = hive.OpenKey(kVxsServiceKey, platform::kKeyQueryValue, &vxs_service);
  if (status == platform::kErrorSuccess || unchecked) {
    status = QueryObjectName(hive, vxs_service);
    second_built = status == platform::kErrorSuccess || unchecked;
  }
  if (second_built) {
    counts.second_policy = add_policy(kSecondFamily);
    platform::RegistryKey world_map;
    if (uint32_t error = hive.OpenKey(kWorldMapKey, kQuerySet, &world_map);
        error == platform::kErrorSuccess) {
      counts.second_registry = add_registry(world_map, kWorldMapValues);
    } else if (TraceEnabled) {
      TraceOut("", TRACE_WARNING, 0, "Worldmap RegOpenKeyEx() Failed : %u\n", error);
    }
  }
  if (status != platform::kErrorSuccess) {
    Trace(TRACE_WARNING, "VXS doesn't seem to be installed\n");
  }

  counts.common = add_policy(kCommon);

  // The quarantine database values, for either product. When the key can neither be
  // opened nor created, the items stay on the closed key and keep their defaults.
  if (first_built || second_built) {
    platform::RegistryKey quarantine;
    if (uint32_t error = hive.OpenKey(kQuarantineKey, kQuerySet, &quarantine);
        error != platform::kErrorSuccess) {
      TraceOpenFailed(error);
      if (uint32_t created = hive.CreateKey(kQuarantineKey, kReadWrite, &quarantine);
          created != platform::kErrorSuccess && TraceEnabled) {
        TraceOut("", TRACE_ERROR, 0, "RegCreateKeyEx() Failed : %u\n", created);
      }
    }
    counts.quarantine = add_registry(quarantine, kQuarantineValues);
  }

  if (products::IsVEXSRVInstalled()) counts.server = add_policy(kServerProduct);
  last_build_ = counts;
}

std::vector<PolicyDefinition> PolicyDefinitions() {
  std::vector<PolicyDefinition> list;
  for (std::span<const PolicySetting> group :
       {std::span<const PolicySetting>(kFirstProduct), std::span<const PolicySetting>(kSecondFamily),
        std::span<const PolicySetting>(kCommon), std::span<const PolicySetting>(kServerProduct)}) {
    for (const PolicySetting& setting : group) {
      PolicyDefinition definition{std::string(kEnterprise) + setting.oid, ItemKind::kInt, false,
                                  setting.number, setting.text != nullptr ? setting.text : "",
                                  setting.rows, setting.row_count};
      switch (setting.kind) {
        case Kind::kInt:
          break;
        case Kind::kString:
          definition.kind = ItemKind::kString;
          break;
        case Kind::kEncryptedString:
          definition.kind = ItemKind::kString;
          definition.encrypted = true;
          break;
        case Kind::kTable:
          definition.kind = ItemKind::kTable;
          break;
      }
      list.push_back(std::move(definition));
    }
  }
  return list;
}

namespace {

// The list of enciphered settings (enciphered_settings.h) names exactly the enciphered
// settings of the tables: the agent's audit masks by that list.
constexpr bool EncipheredListMatchesTables() {
  constexpr std::string_view kPrefix = kEnterprise;
  size_t found = 0;
  for (std::span<const PolicySetting> group :
       {std::span<const PolicySetting>(kFirstProduct),
        std::span<const PolicySetting>(kSecondFamily), std::span<const PolicySetting>(kCommon),
        std::span<const PolicySetting>(kServerProduct)}) {
    for (const PolicySetting& setting : group) {
      if (setting.kind != Kind::kEncryptedString) continue;
      bool listed = false;
      for (std::string_view oid : kEncipheredPolicyOids)
        listed = listed || (oid.starts_with(kPrefix) && oid.substr(kPrefix.size()) == setting.oid);
      if (!listed) return false;
      ++found;
    }
  }
  for (std::span<const RegistrySetting> group :
       {std::span<const RegistrySetting>(kVirusScanValues),
        std::span<const RegistrySetting>(kWorldMapValues),
        std::span<const RegistrySetting>(kQuarantineValues)}) {
    for (const RegistrySetting& setting : group) {
      if (setting.kind != RegistryKind::kEncryptedString) continue;
      if (!IsEncipheredSetting(setting.name)) return false;
      ++found;
    }
  }
  return found == std::size(kEncipheredPolicyOids) + std::size(kEncipheredRegistryValues);
}
static_assert(EncipheredListMatchesTables());

}  // namespace

}  // namespace settings
