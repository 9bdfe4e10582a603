// lightd's SCPI command table and parser: one line of text in, a list of
// parsed program units out. No sockets and no device here, so the parser can
// be tested and fuzzed on its own.
//
// Commands are declared once as patterns: capitals are the short form, the
// whole word the long form, "[:NODE]" is optional, "#" after a node takes a
// channel suffix 1..4 (1 when left out). Headers are case-insensitive. After
// a ';' a header without a leading ':' is first taken relative to the
// previous header's path (SOUR1:POW 5;STAT ON), then from the root.
//
// Numeric settings take MINimum, MAXimum and DEFault for a value and answer
// them as queries (SOUR1:POW? MAX); brightness takes the unit PCT, times MS
// and S. A refused value's error text repeats the unit as written and says
// what was expected ("SOUR3:POW 150, 0..100").
#ifndef LIGHTD_SCPI_PARSER_H
#define LIGHTD_SCPI_PARSER_H

#include <string>
#include <string_view>
#include <vector>

#include "DeviceState.h"

namespace lightd {

// The standard SCPI error codes lightd queues.
namespace scpi_error {
constexpr int kCommand = -100;
constexpr int kParameterNotAllowed = -108;
constexpr int kMissingParameter = -109;
constexpr int kUndefinedHeader = -113;
constexpr int kSuffixOutOfRange = -114;
constexpr int kInvalidSuffix = -131;
constexpr int kSuffixNotAllowed = -138;
constexpr int kCommandProtected = -203;
constexpr int kDataOutOfRange = -222;
constexpr int kTooMuchData = -223;
constexpr int kIllegalParameter = -224;
constexpr int kHardware = -240;
constexpr int kSelfTestFailed = -330;
constexpr int kQueueOverflow = -350;
}  // namespace scpi_error

// The standard text of a code ("Data out of range"), or "Error".
const char *scpiErrorText(int code);

enum class ScpiCommand {
    Identify,         // *IDN?
    ClearStatus,      // *CLS
    OperationComplete,// *OPC, *OPC?
    Wait,             // *WAI
    Reset,            // *RST
    SelfTest,         // *TST?
    Options,          // *OPT?
    EventEnable,      // *ESE, *ESE?
    EventRegister,    // *ESR?
    RequestEnable,    // *SRE, *SRE?
    StatusByte,       // *STB?
    Trigger,          // *TRG, TRIGger:INTernal[:IMMediate]
    ErrorNext,        // SYSTem:ERRor[:NEXT]?
    ErrorCount,       // SYSTem:ERRor:COUNt?
    ErrorAll,         // SYSTem:ERRor:ALL?
    StatusEvent,      // STATus:<register>[:EVENt]?
    StatusCondition,  // STATus:<register>:CONDition?
    StatusEnable,     // STATus:<register>:ENABle
    StatusNegative,   // STATus:<register>:NTRansition
    StatusPositive,   // STATus:<register>:PTRansition
    StatusPreset,     // STATus:PRESet
    Version,          // SYSTem:VERSion?
    Password,         // SYSTem:PASSword[:CENable] "TOKEN"
    Setting,          // a device setting; the table entry names the field
    Temperature,      // SOURce#:TEMPerature?
    Alarm,            // SOURce#:TEMPerature:ALARm?
};

// Number: a device setting's value, with MINimum, MAXimum, DEFault and the
// field's unit; Register: a status register value, a plain integer.
enum class ScpiParam { None, Bool, Number, Mode, String, Register };

// The status registers below the status byte, by their index in a session.
enum class StatusRegister { Operation, Questionable, Temperature };

struct ScpiCommandDef {
    const char *pattern;
    ScpiCommand command;
    bool query;      // has a query form
    bool set;        // has a command form
    ScpiParam param; // of the command form
    Field field;     // for ScpiCommand::Setting
    StatusRegister reg = StatusRegister::Operation;  // for the STATus commands
    unsigned maximum = 0;                            // for ScpiParam::Register
};

// What a Number setting's query asks for: the value, or one of its limits.
enum class ScpiLimit { Value, Minimum, Maximum, Default };

// The whole table, in declaration order.
const std::vector<ScpiCommandDef> &scpiCommands();

// One program unit of a line: a command or query ready to run, or an error.
struct ScpiUnit {
    int error = 0;              // nonzero: the whole line is refused with this
    std::string detail;         // extra text for the error, may be empty
    const ScpiCommandDef *def = nullptr;
    bool query = false;
    int channel = -1;           // 0..3 for the SOURce# commands
    unsigned value = 0;         // Bool, Number, Mode and Register parameters
    std::string text;           // String parameter, unquoted
    ScpiLimit limit = ScpiLimit::Value;  // a Number setting's query: SOUR1:POW? MAX

    // The device write of a Setting command form.
    Setting setting() const { return Setting{def->field, channel, value}; }
};

// Parses one line (without its terminator) into its units, in order.
std::vector<ScpiUnit> parseScpiLine(std::string_view line);

// True for a line that looks like HTTP: a request line ("POST / HTTP/1.1",
// or any line starting with an HTTP method and a space) or a header line
// ("Host: ...": a field name, ':' and a space or tab). No valid SCPI
// line looks like either. A browser can be made to send its request to the
// SCPI port; the server closes such a connection before running anything.
bool looksLikeHttp(std::string_view line);

// What DEFault means for a numeric setting: the device's power-on value.
unsigned settingDefault(Field field);

// "NORM", "TTL", "EDGE", "INT", "SEQ" for modes 0..4; null otherwise.
const char *scpiModeName(unsigned mode);

}  // namespace lightd

#endif
