#include "ScpiParser.h"

#include <cctype>
#include <cmath>
#include <cstdlib>

namespace lightd {

namespace {

using namespace scpi_error;

constexpr unsigned kChannelSuffixMax = kChannelCount;
constexpr unsigned kNoChannel = ~0u;

using SR = StatusRegister;
constexpr Field kNoField = Field::GlobalEnable;
constexpr unsigned kByteRegister = 255;      // *ESE, *SRE
constexpr unsigned kStatusRegister = 32767;  // SCPI registers: bit 15 is never used

const std::vector<ScpiCommandDef> kCommands = {
    {"*IDN", ScpiCommand::Identify, true, false, ScpiParam::None, kNoField},
    {"*CLS", ScpiCommand::ClearStatus, false, true, ScpiParam::None, kNoField},
    {"*ESE", ScpiCommand::EventEnable, true, true, ScpiParam::Register, kNoField, SR::Operation, kByteRegister},
    {"*ESR", ScpiCommand::EventRegister, true, false, ScpiParam::None, kNoField},
    {"*OPC", ScpiCommand::OperationComplete, true, true, ScpiParam::None, kNoField},
    {"*OPT", ScpiCommand::Options, true, false, ScpiParam::None, kNoField},
    {"*RST", ScpiCommand::Reset, false, true, ScpiParam::None, kNoField},
    {"*SRE", ScpiCommand::RequestEnable, true, true, ScpiParam::Register, kNoField, SR::Operation, kByteRegister},
    {"*STB", ScpiCommand::StatusByte, true, false, ScpiParam::None, kNoField},
    {"*TST", ScpiCommand::SelfTest, true, false, ScpiParam::None, kNoField},
    {"*WAI", ScpiCommand::Wait, false, true, ScpiParam::None, kNoField},
    {"*TRG", ScpiCommand::Trigger, false, true, ScpiParam::None, kNoField},
    {"SYSTem:ERRor[:NEXT]", ScpiCommand::ErrorNext, true, false, ScpiParam::None, kNoField},
    {"SYSTem:ERRor:COUNt", ScpiCommand::ErrorCount, true, false, ScpiParam::None, kNoField},
    {"SYSTem:ERRor:ALL", ScpiCommand::ErrorAll, true, false, ScpiParam::None, kNoField},
    {"SYSTem:VERSion", ScpiCommand::Version, true, false, ScpiParam::None, kNoField},
    {"SYSTem:PASSword[:CENable]", ScpiCommand::Password, false, true, ScpiParam::String, kNoField},
    {"STATus:OPERation[:EVENt]", ScpiCommand::StatusEvent, true, false, ScpiParam::None, kNoField, SR::Operation},
    {"STATus:OPERation:CONDition", ScpiCommand::StatusCondition, true, false, ScpiParam::None, kNoField, SR::Operation},
    {"STATus:OPERation:ENABle", ScpiCommand::StatusEnable, true, true, ScpiParam::Register, kNoField, SR::Operation,
     kStatusRegister},
    {"STATus:OPERation:NTRansition", ScpiCommand::StatusNegative, true, true, ScpiParam::Register, kNoField, SR::Operation,
     kStatusRegister},
    {"STATus:OPERation:PTRansition", ScpiCommand::StatusPositive, true, true, ScpiParam::Register, kNoField, SR::Operation,
     kStatusRegister},
    {"STATus:QUEStionable[:EVENt]", ScpiCommand::StatusEvent, true, false, ScpiParam::None, kNoField, SR::Questionable},
    {"STATus:QUEStionable:CONDition", ScpiCommand::StatusCondition, true, false, ScpiParam::None, kNoField, SR::Questionable},
    {"STATus:QUEStionable:ENABle", ScpiCommand::StatusEnable, true, true, ScpiParam::Register, kNoField, SR::Questionable,
     kStatusRegister},
    {"STATus:QUEStionable:NTRansition", ScpiCommand::StatusNegative, true, true, ScpiParam::Register, kNoField, SR::Questionable,
     kStatusRegister},
    {"STATus:QUEStionable:PTRansition", ScpiCommand::StatusPositive, true, true, ScpiParam::Register, kNoField, SR::Questionable,
     kStatusRegister},
    {"STATus:QUEStionable:TEMPerature[:EVENt]", ScpiCommand::StatusEvent, true, false, ScpiParam::None, kNoField, SR::Temperature},
    {"STATus:QUEStionable:TEMPerature:CONDition", ScpiCommand::StatusCondition, true, false, ScpiParam::None, kNoField, SR::Temperature},
    {"STATus:QUEStionable:TEMPerature:ENABle", ScpiCommand::StatusEnable, true, true, ScpiParam::Register, kNoField, SR::Temperature,
     kStatusRegister},
    {"STATus:QUEStionable:TEMPerature:NTRansition", ScpiCommand::StatusNegative, true, true, ScpiParam::Register, kNoField, SR::Temperature,
     kStatusRegister},
    {"STATus:QUEStionable:TEMPerature:PTRansition", ScpiCommand::StatusPositive, true, true, ScpiParam::Register, kNoField, SR::Temperature,
     kStatusRegister},
    {"STATus:PRESet", ScpiCommand::StatusPreset, false, true, ScpiParam::None, kNoField},
    {"OUTPut[:STATe]", ScpiCommand::Setting, true, true, ScpiParam::Bool, Field::GlobalEnable},
    {"SOURce:MODE", ScpiCommand::Setting, true, true, ScpiParam::Mode, Field::WorkMode},
    {"SOURce#:STATe", ScpiCommand::Setting, true, true, ScpiParam::Bool, Field::ChannelEnable},
    {"SOURce#:POWer", ScpiCommand::Setting, true, true, ScpiParam::Number, Field::Brightness},
    {"SOURce#:PULSe:WIDTh", ScpiCommand::Setting, true, true, ScpiParam::Number, Field::PulseWidth},
    {"SOURce#:TEMPerature", ScpiCommand::Temperature, true, false, ScpiParam::None, kNoField},
    {"SOURce#:TEMPerature:ALARm", ScpiCommand::Alarm, true, false, ScpiParam::None, kNoField},
    {"TRIGger:TTL:OUTPut", ScpiCommand::Setting, true, true, ScpiParam::Bool, Field::TtlOutput},
    {"TRIGger:TTL:DELay", ScpiCommand::Setting, true, true, ScpiParam::Number, Field::TtlDelay},
    {"TRIGger:EDGE:DELay", ScpiCommand::Setting, true, true, ScpiParam::Number, Field::EdgeDelay},
    {"TRIGger:INTernal:OUTPut", ScpiCommand::Setting, true, true, ScpiParam::Bool, Field::InternalOutput},
    {"TRIGger:INTernal:DELay", ScpiCommand::Setting, true, true, ScpiParam::Number, Field::InternalDelay},
    {"TRIGger:INTernal:HIGH", ScpiCommand::Setting, true, true, ScpiParam::Number, Field::InternalHigh},
    {"TRIGger:INTernal:LOW", ScpiCommand::Setting, true, true, ScpiParam::Number, Field::InternalLow},
    {"TRIGger:INTernal:COUNt", ScpiCommand::Setting, true, true, ScpiParam::Number, Field::InternalCount},
    {"TRIGger:INTernal[:IMMediate]", ScpiCommand::Trigger, false, true, ScpiParam::None, kNoField},
};

// One node of a compiled pattern.
struct PatternNode {
    std::string shortForm;  // upper case
    std::string longForm;   // upper case
    bool optional = false;
    bool suffix = false;
};

struct CompiledCommand {
    const ScpiCommandDef *def;
    std::vector<PatternNode> nodes;
};

std::string upper(std::string_view text) {
    std::string out(text);
    for (char &c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

std::vector<PatternNode> compile(const char *pattern) {
    std::vector<PatternNode> nodes;
    std::string_view p(pattern);
    size_t i = 0;
    while (i < p.size()) {
        PatternNode node;
        if (p[i] == '[') {
            node.optional = true;
            ++i;
        }
        if (i < p.size() && p[i] == ':') ++i;
        const size_t start = i;
        while (i < p.size() && p[i] != ':' && p[i] != '[' && p[i] != ']' && p[i] != '#') ++i;
        const std::string_view word = p.substr(start, i - start);
        for (char c : word) {
            if (std::isupper(static_cast<unsigned char>(c)) || c == '*') node.shortForm += c;
        }
        node.longForm = upper(word);
        if (i < p.size() && p[i] == '#') {
            node.suffix = true;
            ++i;
        }
        if (i < p.size() && p[i] == ']') ++i;
        nodes.push_back(std::move(node));
    }
    return nodes;
}

const std::vector<CompiledCommand> &compiledCommands() {
    static const std::vector<CompiledCommand> compiled = [] {
        std::vector<CompiledCommand> out;
        for (const ScpiCommandDef &def : kCommands) out.push_back({&def, compile(def.pattern)});
        return out;
    }();
    return compiled;
}

// A header token split into its name and numeric suffix ("SOUR12" -> SOUR, 12).
struct Token {
    std::string name;  // upper case
    bool hasSuffix = false;
    unsigned suffix = 0;
};

bool matchNodes(const std::vector<PatternNode> &nodes, size_t n, const std::vector<Token> &tokens, size_t t,
                unsigned *channel) {
    if (n == nodes.size()) return t == tokens.size();
    const PatternNode &node = nodes[n];
    if (t < tokens.size()) {
        const Token &token = tokens[t];
        const bool nameMatches = token.name == node.shortForm || token.name == node.longForm;
        if (nameMatches && (node.suffix || !token.hasSuffix)) {
            unsigned saved = *channel;
            if (node.suffix) *channel = token.hasSuffix ? token.suffix : 1;
            if (matchNodes(nodes, n + 1, tokens, t + 1, channel)) return true;
            *channel = saved;
        }
    }
    return node.optional && matchNodes(nodes, n + 1, tokens, t, channel);
}

const CompiledCommand *findCommand(const std::vector<Token> &tokens, unsigned *channel) {
    for (const CompiledCommand &c : compiledCommands()) {
        unsigned ch = kNoChannel;
        if (matchNodes(c.nodes, 0, tokens, 0, &ch)) {
            *channel = ch;
            return &c;
        }
    }
    return nullptr;
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && isSpace(s.back())) s.remove_suffix(1);
    return s;
}

// Splits at `separator` outside quoted strings; false on an open quote.
bool splitOutsideQuotes(std::string_view text, char separator, std::vector<std::string_view> *parts) {
    char quote = 0;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quote != 0) {
            if (c == quote) quote = 0;  // a doubled quote reopens at once
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == separator) {
            parts->push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    parts->push_back(text.substr(start));
    return quote == 0;
}

// Splits "SOUR1:POW" into tokens; false on a malformed header.
bool tokenize(std::string_view header, std::vector<Token> *tokens) {
    if (header.empty()) return false;
    if (header.front() == '*') {
        if (header.size() < 2) return false;
        for (size_t i = 1; i < header.size(); ++i) {
            if (!std::isalpha(static_cast<unsigned char>(header[i]))) return false;
        }
        tokens->push_back(Token{upper(header), false, 0});
        return true;
    }
    size_t i = 0;
    while (i <= header.size()) {
        const size_t end = header.find(':', i);
        const std::string_view word = header.substr(i, end == std::string_view::npos ? header.npos : end - i);
        if (word.empty() || !std::isalpha(static_cast<unsigned char>(word.front()))) return false;
        size_t digits = word.size();
        while (digits > 0 && std::isdigit(static_cast<unsigned char>(word[digits - 1]))) --digits;
        for (size_t k = 0; k < digits; ++k) {
            const char c = word[k];
            if (!std::isalpha(static_cast<unsigned char>(c)) && c != '_') return false;
        }
        Token token;
        token.name = upper(word.substr(0, digits));
        if (digits < word.size()) {
            token.hasSuffix = true;
            const std::string_view number = word.substr(digits);
            // Long suffixes are out of range whatever their value.
            token.suffix = number.size() > 3 ? 1000u : static_cast<unsigned>(std::atoi(std::string(number).c_str()));
        }
        tokens->push_back(std::move(token));
        if (end == std::string_view::npos) break;
        i = end + 1;
    }
    return true;
}

bool equalsWord(std::string_view text, const char *shortForm, const char *longForm) {
    const std::string u = upper(text);
    return u == shortForm || u == longForm;
}

// SCPI decimal numeric data, [+-]digits[.digits][E[+-]digits], and the
// letters of a unit after it (with or without a space); false otherwise.
bool parseDecimal(std::string_view text, double *out, std::string_view *suffix) {
    size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    size_t mantissa = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i, ++mantissa;
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i, ++mantissa;
    }
    if (mantissa == 0) return false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
        size_t exponent = 0;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i, ++exponent;
        if (exponent == 0) return false;
    }
    const std::string_view number = text.substr(0, i);
    const std::string_view unit = trim(text.substr(i));
    for (char c : unit) {
        if (!std::isalpha(static_cast<unsigned char>(c))) return false;
    }
    *out = std::strtod(std::string(number).c_str(), nullptr);
    *suffix = unit;
    return true;
}

bool isTimeField(Field field) {
    switch (field) {
    case Field::PulseWidth:
    case Field::TtlDelay:
    case Field::EdgeDelay:
    case Field::InternalDelay:
    case Field::InternalHigh:
    case Field::InternalLow: return true;
    default: return false;
    }
}

// The factor a unit suffix gives a field's value (ms and percent are the
// device's own units); 0 when the field does not take it.
double unitFactor(Field field, const std::string &suffix) {
    if (field == Field::Brightness) return suffix == "PCT" ? 1.0 : 0.0;
    if (isTimeField(field)) return suffix == "MS" ? 1.0 : suffix == "S" ? 1000.0 : 0.0;
    return 0.0;
}

const char *unitsTaken(Field field) {
    if (field == Field::Brightness) return "PCT";
    if (isTimeField(field)) return "MS or S";
    return nullptr;
}

std::string rangeText(Field field) {
    return "0.." + std::to_string(settingMaximum(field)) + (isTimeField(field) ? " ms" : "");
}

// MINimum, MAXimum, DEFault; Value for anything else.
ScpiLimit limitKeyword(std::string_view raw) {
    if (equalsWord(raw, "MIN", "MINIMUM")) return ScpiLimit::Minimum;
    if (equalsWord(raw, "MAX", "MAXIMUM")) return ScpiLimit::Maximum;
    if (equalsWord(raw, "DEF", "DEFAULT")) return ScpiLimit::Default;
    return ScpiLimit::Value;
}

void refuse(ScpiUnit *unit, int code, std::string_view written, const std::string &why) {
    unit->error = code;
    unit->detail = std::string(written) + ", " + why;
}

// A Number setting's value or a Register value into unit->value.
void parseNumber(std::string_view raw, std::string_view written, ScpiUnit *unit) {
    const bool setting = unit->def->param == ScpiParam::Number;
    const Field field = unit->def->field;
    const unsigned maximum = setting ? settingMaximum(field) : unit->def->maximum;
    if (setting) {
        switch (limitKeyword(raw)) {
        case ScpiLimit::Minimum: unit->value = 0; return;
        case ScpiLimit::Maximum: unit->value = maximum; return;
        case ScpiLimit::Default: unit->value = settingDefault(field); return;
        case ScpiLimit::Value: break;
        }
    }
    double number = 0.0;
    std::string_view suffixText;
    if (!parseDecimal(raw, &number, &suffixText)) {
        refuse(unit, kIllegalParameter, written,
               setting ? "expected a decimal number, MINimum, MAXimum or DEFault" : "expected a decimal number");
        return;
    }
    if (!suffixText.empty()) {
        const char *units = setting ? unitsTaken(field) : nullptr;
        if (units == nullptr) {
            refuse(unit, kSuffixNotAllowed, written, "no unit");
            return;
        }
        const double factor = unitFactor(field, upper(suffixText));
        if (factor == 0.0) {
            refuse(unit, kInvalidSuffix, written, std::string("expected ") + units);
            return;
        }
        number *= factor;
    }
    const double rounded = std::nearbyint(number);
    if (!(rounded >= 0.0 && rounded <= static_cast<double>(maximum))) {
        refuse(unit, kDataOutOfRange, written, setting ? rangeText(field) : "0.." + std::to_string(maximum));
        return;
    }
    unit->value = static_cast<unsigned>(rounded);
}

// Reads the one parameter of a command form into the unit; `written` is the
// unit as the client wrote it, for the error's text.
void parseParameter(std::string_view raw, std::string_view written, ScpiUnit *unit) {
    switch (unit->def->param) {
    case ScpiParam::None:
        break;
    case ScpiParam::Bool:
        if (equalsWord(raw, "ON", "ON") || raw == "1") {
            unit->value = 1;
        } else if (equalsWord(raw, "OFF", "OFF") || raw == "0") {
            unit->value = 0;
        } else {
            refuse(unit, kIllegalParameter, written, "expected ON, OFF, 1 or 0");
        }
        break;
    case ScpiParam::Mode: {
        static const char *const kForms[][2] = {
            {"NORM", "NORMAL"}, {"TTL", "TTL"}, {"EDGE", "EDGE"}, {"INT", "INTERNAL"}, {"SEQ", "SEQUENCE"}};
        refuse(unit, kIllegalParameter, written, "expected NORMal, TTL, EDGE, INTernal or SEQuence");
        for (unsigned m = 0; m < 5; ++m) {
            if (equalsWord(raw, kForms[m][0], kForms[m][1])) {
                unit->value = m;
                unit->error = 0;
                unit->detail.clear();
            }
        }
        break;
    }
    case ScpiParam::Number:
    case ScpiParam::Register:
        parseNumber(raw, written, unit);
        break;
    case ScpiParam::String:
        if (raw.size() >= 2 && (raw.front() == '"' || raw.front() == '\'') && raw.back() == raw.front()) {
            const char quote = raw.front();
            const std::string_view inner = raw.substr(1, raw.size() - 2);
            for (size_t i = 0; i < inner.size(); ++i) {
                if (inner[i] == quote) {
                    // Inside, a quote must come doubled.
                    if (i + 1 >= inner.size() || inner[i + 1] != quote) {
                        unit->error = kCommand;
                        unit->detail = "malformed string";
                        return;
                    }
                    ++i;
                }
                unit->text += inner[i];
            }
        } else if (raw.find_first_of("\"'") != std::string_view::npos) {
            unit->error = kCommand;
            unit->detail = "malformed string";
        } else {
            unit->text = std::string(raw);
        }
        break;
    }
}

ScpiUnit parseUnit(std::string_view text, std::vector<Token> *path) {
    ScpiUnit unit;
    size_t headerEnd = 0;
    while (headerEnd < text.size() && !isSpace(text[headerEnd])) ++headerEnd;
    std::string_view header = text.substr(0, headerEnd);
    const std::string_view rest = trim(text.substr(headerEnd));

    if (!header.empty() && header.back() == '?') {
        unit.query = true;
        header.remove_suffix(1);
    }
    const bool common = !header.empty() && header.front() == '*';
    const bool absolute = !header.empty() && header.front() == ':';
    if (absolute) header.remove_prefix(1);

    std::vector<Token> tokens;
    if (!tokenize(header, &tokens)) {
        unit.error = kCommand;
        unit.detail = "malformed header";
        return unit;
    }

    unsigned channel = kNoChannel;
    const CompiledCommand *found = nullptr;
    std::vector<Token> full;
    if (!common && !absolute && !path->empty()) {
        full = *path;
        full.insert(full.end(), tokens.begin(), tokens.end());
        found = findCommand(full, &channel);
    }
    if (found == nullptr) {
        full = tokens;
        found = findCommand(full, &channel);
    }
    if (found == nullptr) {
        unit.error = kUndefinedHeader;
        return unit;
    }
    if (!common) {
        full.pop_back();
        *path = std::move(full);
    }

    unit.def = found->def;
    if (unit.query ? !unit.def->query : !unit.def->set) {
        unit.error = kUndefinedHeader;
        unit.detail = unit.query ? "no query form" : "query only";
        return unit;
    }
    if (channel != kNoChannel) {
        if (channel < 1 || channel > kChannelSuffixMax) {
            unit.error = kSuffixOutOfRange;
            unit.detail = "channels are 1..4";
            return unit;
        }
        unit.channel = static_cast<int>(channel) - 1;
    }

    std::vector<std::string_view> params;
    if (!rest.empty() && !splitOutsideQuotes(rest, ',', &params)) {
        unit.error = kCommand;
        unit.detail = "unterminated string";
        return unit;
    }
    if (unit.query && unit.def->param == ScpiParam::Number && params.size() == 1 && !trim(params.front()).empty()) {
        // SOUR1:POW? MAX: the limits of a numeric setting.
        unit.limit = limitKeyword(trim(params.front()));
        if (unit.limit == ScpiLimit::Value) refuse(&unit, kIllegalParameter, text, "expected MINimum, MAXimum or DEFault");
        return unit;
    }
    const bool wantsParameter = !unit.query && unit.def->param != ScpiParam::None;
    if (!wantsParameter && !params.empty()) {
        unit.error = kParameterNotAllowed;
        return unit;
    }
    if (wantsParameter) {
        for (std::string_view param : params) {
            if (trim(param).empty()) {
                unit.error = kMissingParameter;
                return unit;
            }
        }
        if (params.empty()) {
            unit.error = kMissingParameter;
            return unit;
        }
        if (params.size() > 1) {
            unit.error = kParameterNotAllowed;
            unit.detail = "one parameter";
            return unit;
        }
        const std::string_view raw = trim(params.front());
        parseParameter(raw, text, &unit);
    }
    return unit;
}

}  // namespace

const char *scpiErrorText(int code) {
    switch (code) {
    case 0: return "No error";
    case kCommand: return "Command error";
    case kParameterNotAllowed: return "Parameter not allowed";
    case kMissingParameter: return "Missing parameter";
    case kUndefinedHeader: return "Undefined header";
    case kSuffixOutOfRange: return "Header suffix out of range";
    case kInvalidSuffix: return "Invalid suffix";
    case kSuffixNotAllowed: return "Suffix not allowed";
    case kCommandProtected: return "Command protected";
    case kDataOutOfRange: return "Data out of range";
    case kTooMuchData: return "Too much data";
    case kIllegalParameter: return "Illegal parameter value";
    case kHardware: return "Hardware error";
    case kSelfTestFailed: return "Self-test failed";
    case kQueueOverflow: return "Queue overflow";
    default: return "Error";
    }
}

const std::vector<ScpiCommandDef> &scpiCommands() { return kCommands; }

// The virtual light source and the device start with every numeric value 0.
unsigned settingDefault(Field) { return 0; }

std::vector<ScpiUnit> parseScpiLine(std::string_view line) {
    std::vector<ScpiUnit> units;
    std::vector<std::string_view> parts;
    if (!splitOutsideQuotes(line, ';', &parts)) {
        ScpiUnit unit;
        unit.error = kCommand;
        unit.detail = "unterminated string";
        units.push_back(std::move(unit));
        return units;
    }
    std::vector<Token> path;
    for (std::string_view part : parts) {
        part = trim(part);
        if (part.empty()) continue;
        units.push_back(parseUnit(part, &path));
    }
    return units;
}

namespace {

// RFC 9110's token characters, as in methods and field names.
bool isTokenChar(char c) {
    static constexpr std::string_view kSymbols = "!#$%&'*+-.^_`|~";
    return std::isalnum(static_cast<unsigned char>(c)) || kSymbols.find(c) != std::string_view::npos;
}

size_t tokenLength(std::string_view text) {
    size_t n = 0;
    while (n < text.size() && isTokenChar(text[n])) ++n;
    return n;
}

}  // namespace

bool looksLikeHttp(std::string_view line) {
    // The start alone suffices for the usual methods, so that a request line
    // over the line limit is still recognised.
    static const char *const kMethods[] = {"GET", "HEAD", "POST", "PUT", "DELETE", "CONNECT",
                                           "OPTIONS", "TRACE", "PATCH", "PRI"};
    const size_t name = tokenLength(line);
    if (name == 0 || name == line.size()) return false;
    if (line[name] == ' ') {
        const std::string method = upper(line.substr(0, name));
        for (const char *m : kMethods) {
            if (method == m) return true;
        }
        // METHOD SP target SP HTTP/digit...
        const std::string_view rest = line.substr(name + 1);
        const size_t space = rest.find(' ');
        if (space == 0 || space == std::string_view::npos) return false;
        const std::string_view version = rest.substr(space + 1);
        return version.size() > 5 && version.substr(0, 5) == "HTTP/" &&
               std::isdigit(static_cast<unsigned char>(version[5])) && version.find(' ') == std::string_view::npos;
    }
    // Field name, ':', white space: what browsers send. SCPI has no empty
    // node after a ':', so no valid command line matches. A bare "SOUR1:"
    // stays an SCPI error, not a reason to close.
    return line[name] == ':' && name + 1 < line.size() && (line[name + 1] == ' ' || line[name + 1] == '\t');
}

const char *scpiModeName(unsigned mode) {
    static const char *const kNames[] = {"NORM", "TTL", "EDGE", "INT", "SEQ"};
    return mode < 5 ? kNames[mode] : nullptr;
}

}  // namespace lightd
