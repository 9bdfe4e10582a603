// The SCPI parser and sessions with no device and no socket: lines in,
// answers, device writes and queued errors out.
#include <gtest/gtest.h>

#include <cctype>
#include <ostream>
#include <string>
#include <vector>

#include "FakeScpiDevice.h"
#include "ScpiParser.h"
#include "ScpiSession.h"

namespace lightd {

void PrintTo(const Setting &s, std::ostream *os) {
    *os << "{field " << static_cast<int>(s.field) << ", channel " << s.channel << ", value " << s.value << "}";
}

namespace {

struct Result {
    std::string answer;
    bool answered = false;
};

Result run(ScpiSession &session, const std::string &line) {
    Result result;
    session.execute(line, [&result](std::string answer) {
        result.answer = std::move(answer);
        result.answered = true;
    });
    return result;
}

std::vector<std::string> drainErrors(ScpiSession &session) {
    std::vector<std::string> errors;
    while (session.errorCount() > 0) errors.push_back(session.nextError());
    return errors;
}

// ---- queries answered from the state copy ------------------------------

struct QueryCase {
    const char *line;
    const char *answer;
};

class ScpiQuery : public ::testing::TestWithParam<QueryCase> {};

TEST_P(ScpiQuery, AnswersFromTheStateAndSendsNothing) {
    FakeScpiDevice device;
    ScpiSession session(device, "");
    const Result result = run(session, GetParam().line);
    ASSERT_TRUE(result.answered);
    EXPECT_EQ(result.answer, GetParam().answer);
    EXPECT_TRUE(device.applied.empty());
    EXPECT_EQ(drainErrors(session), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Table, ScpiQuery, ::testing::Values(
    QueryCase{"*IDN?", "DALU,4-colour,0,1.2.3/2.1.0"},
    QueryCase{"*idn?", "DALU,4-colour,0,1.2.3/2.1.0"},
    QueryCase{"*OPC?", "1"},
    QueryCase{"SYST:VERS?", "1999.0"},
    QueryCase{"system:version?", "1999.0"},
    QueryCase{"SYST:ERR?", "0,\"No error\""},
    QueryCase{"SYSTem:ERRor:NEXT?", "0,\"No error\""},
    QueryCase{"OUTP?", "1"},
    QueryCase{"OUTPut:STATe?", "1"},
    QueryCase{":OUTP:STAT?", "1"},
    QueryCase{"SOUR:MODE?", "EDGE"},
    QueryCase{"SOUR1:STAT?", "1"},
    QueryCase{"SOUR:STAT?", "1"},  // the suffix defaults to 1
    QueryCase{"SOUR2:STAT?", "0"},
    QueryCase{"SOUR1:POW?", "40"},
    QueryCase{"SOURce3:POWer?", "7"},
    QueryCase{"SOUR1:PULS:WIDT?", "100"},
    QueryCase{"source1:pulse:width?", "100"},
    QueryCase{"SOUR1:TEMP?", "31.50"},
    QueryCase{"SOUR3:TEMP?", "61.25"},
    QueryCase{"SOUR4:TEMPerature?", "-2.00"},
    QueryCase{"SOUR3:TEMP:ALAR?", "1"},
    QueryCase{"SOUR1:TEMPerature:ALARm?", "0"},
    QueryCase{"TRIG:TTL:OUTP?", "1"},
    QueryCase{"TRIG:TTL:DEL?", "250"},
    QueryCase{"TRIGger:EDGE:DELay?", "300"},
    QueryCase{"TRIG:INT:OUTP?", "0"},
    QueryCase{"TRIG:INT:DEL?", "10"},
    QueryCase{"TRIG:INT:HIGH?", "20"},
    QueryCase{"TRIG:INT:LOW?", "30"},
    QueryCase{"TRIG:INT:COUN?", "5"},
    QueryCase{"SOUR1:POW?;SOUR2:POW?;:OUTP?", "40;0;1"},
    QueryCase{"SOUR1:POW?;TEMP?", "40;31.50"},  // relative to SOURce1
    QueryCase{"  SOUR1:POW?  ;;  ", "40"},
    QueryCase{"", ""},
    QueryCase{"*OPT?", "LED385,LED480,LED550,LED640"},
    QueryCase{"*ESE?;*SRE?;*ESR?;*STB?", "0;0;0;16"},  // MAV: three answers wait
    QueryCase{"*ESE 255;*ESE?;*SRE 255;*SRE?", "255;191"},  // bit 6 of *SRE cannot be set
    QueryCase{"*OPC;*ESR?;*ESR?", "1;0"},
    QueryCase{"*ESE 1;*SRE 32;*OPC;*STB?", "96"},
    QueryCase{"*IDN?;*STB?", "DALU,4-colour,0,1.2.3/2.1.0;16"},  // MAV: an answer waits
    QueryCase{"*WAI;*OPC?", "1"},
    QueryCase{"SYST:ERR:COUN?;SYSTem:ERRor:ALL?", "0;0,\"No error\""},
    // SOURce3's alarm is on when the session starts: an event already.
    QueryCase{"STAT:QUES:TEMP:COND?;:STAT:QUES:TEMP?;TEMP?", "4;4;0"},
    QueryCase{"STATus:QUEStionable:CONDition?;:STAT:QUES:EVEN?;:STAT:QUES?", "16;16;0"},
    QueryCase{"STAT:QUES:TEMP:ENAB?;PTR?;NTR?", "15;32767;0"},
    QueryCase{"STAT:QUES:ENAB?;:STAT:OPER:ENAB?;:STAT:OPER:COND?;:STAT:OPER?", "0;0;0;0"},
    QueryCase{"STAT:OPER:ENAB 768;ENAB?;:STAT:PRES;:STAT:OPER:ENAB?", "768;0"},
    QueryCase{"STAT:QUES:TEMP:ENAB 2;:STAT:QUES:TEMP?;:STAT:QUES:COND?", "4;0"},
    QueryCase{"SOUR1:POW? MAX;POW? MIN;POW? DEF", "100;0;0"},
    QueryCase{"SOUR4:PULS:WIDT? MAXimum;:TRIG:TTL:DEL? max;:TRIG:INT:COUN? MAX", "5000;5000;100"},
    QueryCase{"TRIG:INT:HIGH? minimum;LOW? DEFault", "0;0"}));

// ---- writes: exactly one device write each ------------------------------

struct WriteCase {
    const char *line;
    Setting write;
};

class ScpiWrite : public ::testing::TestWithParam<WriteCase> {};

TEST_P(ScpiWrite, SendsOneWrite) {
    FakeScpiDevice device;
    ScpiSession session(device, "");
    const Result result = run(session, GetParam().line);
    ASSERT_TRUE(result.answered);
    EXPECT_EQ(result.answer, "");
    ASSERT_EQ(device.applied.size(), 1u);
    EXPECT_EQ(device.applied[0], GetParam().write);
    EXPECT_EQ(drainErrors(session), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Table, ScpiWrite, ::testing::Values(
    WriteCase{"OUTP OFF", {Field::GlobalEnable, -1, 0}},
    WriteCase{"outp on", {Field::GlobalEnable, -1, 1}},
    WriteCase{"OUTPut:STATe 0", {Field::GlobalEnable, -1, 0}},
    WriteCase{"SOUR:MODE NORM", {Field::WorkMode, -1, 0}},
    WriteCase{"SOUR:MODE ttl", {Field::WorkMode, -1, 1}},
    WriteCase{"SOUR:MODE EDGE", {Field::WorkMode, -1, 2}},
    WriteCase{"SOURce:MODE INTernal", {Field::WorkMode, -1, 3}},
    WriteCase{"SOUR:MODE sequence", {Field::WorkMode, -1, 4}},
    WriteCase{"SOUR2:STAT ON", {Field::ChannelEnable, 1, 1}},
    WriteCase{"SOUR4:STAT 0", {Field::ChannelEnable, 3, 0}},
    WriteCase{"SOUR4:POW 100", {Field::Brightness, 3, 100}},
    WriteCase{"SOURCE3:POWER 12.6", {Field::Brightness, 2, 13}},
    WriteCase{"SOUR1:POW 1E1", {Field::Brightness, 0, 10}},
    WriteCase{"SOUR1:POW +0", {Field::Brightness, 0, 0}},
    WriteCase{"SOUR2:PULS:WIDT 5000", {Field::PulseWidth, 1, 5000}},
    WriteCase{"TRIG:TTL:OUTP ON", {Field::TtlOutput, -1, 1}},
    WriteCase{"TRIG:TTL:DEL 4999", {Field::TtlDelay, -1, 4999}},
    WriteCase{"TRIG:EDGE:DEL 7", {Field::EdgeDelay, -1, 7}},
    WriteCase{"TRIG:INT:OUTP 1", {Field::InternalOutput, -1, 1}},
    WriteCase{"TRIGger:INTernal:DELay 11", {Field::InternalDelay, -1, 11}},
    WriteCase{"TRIG:INT:HIGH 12", {Field::InternalHigh, -1, 12}},
    WriteCase{"TRIG:INT:LOW 13", {Field::InternalLow, -1, 13}},
    WriteCase{"TRIG:INT:COUN 100", {Field::InternalCount, -1, 100}},
    WriteCase{"SOUR1:POW\t50", {Field::Brightness, 0, 50}},
    WriteCase{"SOUR1:POW MAX", {Field::Brightness, 0, 100}},
    WriteCase{"SOUR1:POW minimum", {Field::Brightness, 0, 0}},
    WriteCase{"SOUR1:POW DEF", {Field::Brightness, 0, 0}},
    WriteCase{"SOUR2:POW 50PCT", {Field::Brightness, 1, 50}},
    WriteCase{"SOUR2:POW 12.6 pct", {Field::Brightness, 1, 13}},
    WriteCase{"SOUR1:PULS:WIDT 1.5 S", {Field::PulseWidth, 0, 1500}},
    WriteCase{"SOUR1:PULS:WIDT MAX", {Field::PulseWidth, 0, 5000}},
    WriteCase{"TRIG:TTL:DEL 20MS", {Field::TtlDelay, -1, 20}},
    WriteCase{"TRIG:INT:HIGH 0.25s", {Field::InternalHigh, -1, 250}},
    WriteCase{"TRIG:EDGE:DEL MAXimum", {Field::EdgeDelay, -1, 5000}},
    WriteCase{"TRIG:INT:COUN MAX", {Field::InternalCount, -1, 100}}));

TEST(ScpiTrigger, EveryFormFiresOneTrigger) {
    for (const char *line : {"*TRG", "TRIG:INT", "TRIGger:INTernal:IMMediate", "trig:int:imm"}) {
        FakeScpiDevice device;
        ScpiSession session(device, "");
        EXPECT_TRUE(run(session, line).answered);
        EXPECT_EQ(device.triggers, 1) << line;
        EXPECT_TRUE(device.applied.empty());
    }
}

// ---- errors: queued with their code, nothing sent ----------------------

struct ErrorCase {
    const char *line;
    const char *error;  // what SYSTem:ERRor? answers next
};

class ScpiError : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ScpiError, QueuesTheErrorAndSendsNothing) {
    FakeScpiDevice device;
    ScpiSession session(device, "");
    const Result result = run(session, GetParam().line);
    ASSERT_TRUE(result.answered);
    EXPECT_EQ(result.answer, "");
    EXPECT_TRUE(device.applied.empty());
    EXPECT_EQ(device.triggers, 0);
    EXPECT_EQ(drainErrors(session), std::vector<std::string>{GetParam().error});
}

INSTANTIATE_TEST_SUITE_P(Table, ScpiError, ::testing::Values(
    ErrorCase{"FOO", "-113,\"Undefined header\""},
    ErrorCase{"SOUR1:POWX 5", "-113,\"Undefined header\""},
    ErrorCase{"SOURC1:POW 5", "-113,\"Undefined header\""},  // neither short nor long form
    ErrorCase{"OUTP1 ON", "-113,\"Undefined header\""},      // no suffix on OUTPut
    ErrorCase{"SOUR1:MODE EDGE", "-113,\"Undefined header\""},
    ErrorCase{"*RSTX", "-113,\"Undefined header\""},
    ErrorCase{"*IDN", "-113,\"Undefined header;query only\""},
    ErrorCase{"SOUR1:TEMP 5", "-113,\"Undefined header;query only\""},
    ErrorCase{"*CLS?", "-113,\"Undefined header;no query form\""},
    ErrorCase{"TRIG:INT:IMM?", "-113,\"Undefined header;no query form\""},
    ErrorCase{"SOUR5:POW 1", "-114,\"Header suffix out of range;channels are 1..4\""},
    ErrorCase{"SOUR0:POW?", "-114,\"Header suffix out of range;channels are 1..4\""},
    ErrorCase{"SOUR99999999999:POW?", "-114,\"Header suffix out of range;channels are 1..4\""},
    ErrorCase{"SOUR1:POW", "-109,\"Missing parameter\""},
    ErrorCase{"SOUR1:POW ,", "-109,\"Missing parameter\""},
    ErrorCase{"SYST:PASS", "-109,\"Missing parameter\""},
    ErrorCase{"SOUR1:POW 1,2", "-108,\"Parameter not allowed;one parameter\""},
    ErrorCase{"*IDN? 5", "-108,\"Parameter not allowed\""},
    ErrorCase{"*CLS 1", "-108,\"Parameter not allowed\""},
    ErrorCase{"SOUR1:POW 101", "-222,\"Data out of range;SOUR1:POW 101, 0..100\""},
    ErrorCase{"SOUR1:POW -1", "-222,\"Data out of range;SOUR1:POW -1, 0..100\""},
    ErrorCase{"SOUR1:POW 1e400", "-222,\"Data out of range;SOUR1:POW 1e400, 0..100\""},
    ErrorCase{"SOUR1:PULS:WIDT 5001", "-222,\"Data out of range;SOUR1:PULS:WIDT 5001, 0..5000 ms\""},
    ErrorCase{"TRIG:INT:COUN 101", "-222,\"Data out of range;TRIG:INT:COUN 101, 0..100\""},
    ErrorCase{"TRIG:TTL:DEL 70000", "-222,\"Data out of range;TRIG:TTL:DEL 70000, 0..5000 ms\""},
    ErrorCase{"SOUR1:POW abc", "-224,\"Illegal parameter value;SOUR1:POW abc, expected a decimal number, MINimum, MAXimum or DEFault\""},
    ErrorCase{"SOUR1:POW 0x10", "-224,\"Illegal parameter value;SOUR1:POW 0x10, expected a decimal number, MINimum, MAXimum or DEFault\""},
    ErrorCase{"SOUR1:POW 1e", "-224,\"Illegal parameter value;SOUR1:POW 1e, expected a decimal number, MINimum, MAXimum or DEFault\""},
    ErrorCase{"OUTP MAYBE", "-224,\"Illegal parameter value;OUTP MAYBE, expected ON, OFF, 1 or 0\""},
    ErrorCase{"OUTP 2", "-224,\"Illegal parameter value;OUTP 2, expected ON, OFF, 1 or 0\""},
    ErrorCase{"SOUR:MODE FAST", "-224,\"Illegal parameter value;SOUR:MODE FAST, expected NORMal, TTL, EDGE, INTernal or SEQuence\""},
    ErrorCase{"SOUR:MODE NORMA", "-224,\"Illegal parameter value;SOUR:MODE NORMA, expected NORMal, TTL, EDGE, INTernal or SEQuence\""},
    ErrorCase{"SOUR1:POW \"5", "-100,\"Command error;unterminated string\""},
    ErrorCase{"SYST:PASS \"a\"b", "-100,\"Command error;malformed string\""},
    ErrorCase{"SOUR1::POW 5", "-100,\"Command error;malformed header\""},
    ErrorCase{":", "-100,\"Command error;malformed header\""},
    ErrorCase{"?", "-100,\"Command error;malformed header\""},
    ErrorCase{"*", "-100,\"Command error;malformed header\""},
    ErrorCase{"SOUR-1:POW 5", "-100,\"Command error;malformed header\""},
    ErrorCase{"\x01\xff", "-100,\"Command error;malformed header\""},
    // A command error anywhere refuses the whole line, with one error.
    ErrorCase{"SOUR1:POW?;SOUR7:POW?;SOUR2:POW?", "-114,\"Header suffix out of range;channels are 1..4\""},
    ErrorCase{"SOUR1:POW 11;BOGUS;SOUR2:POW 70", "-113,\"Undefined header\""},
    ErrorCase{"SOUR1:POW 5;SOUR1:POW 101", "-222,\"Data out of range;SOUR1:POW 101, 0..100\""},
    ErrorCase{"*TRG;OUTP MAYBE", "-224,\"Illegal parameter value;OUTP MAYBE, expected ON, OFF, 1 or 0\""},
    ErrorCase{"FOO;SOUR1:POW 101;BAR", "-113,\"Undefined header\""},
    ErrorCase{"FOO;*CLS", "-113,\"Undefined header\""},
    ErrorCase{"SOUR3:POW 150", "-222,\"Data out of range;SOUR3:POW 150, 0..100\""},
    ErrorCase{"SOUR1:POW 5;POW 150", "-222,\"Data out of range;POW 150, 0..100\""},  // as written
    ErrorCase{"SOUR1:PULS:WIDT 6 S", "-222,\"Data out of range;SOUR1:PULS:WIDT 6 S, 0..5000 ms\""},
    ErrorCase{"SOUR1:POW 5 MS", "-131,\"Invalid suffix;SOUR1:POW 5 MS, expected PCT\""},
    ErrorCase{"SOUR1:PULS:WIDT 5PCT", "-131,\"Invalid suffix;SOUR1:PULS:WIDT 5PCT, expected MS or S\""},
    ErrorCase{"TRIG:INT:COUN 5 S", "-138,\"Suffix not allowed;TRIG:INT:COUN 5 S, no unit\""},
    ErrorCase{"SOUR1:POW 5 %", "-224,\"Illegal parameter value;SOUR1:POW 5 %, expected a decimal number, MINimum, "
                                "MAXimum or DEFault\""},
    ErrorCase{"SOUR1:POW? HIGH", "-224,\"Illegal parameter value;SOUR1:POW? HIGH, expected MINimum, MAXimum or "
                                  "DEFault\""},
    ErrorCase{"SOUR1:POW? MAX,MIN", "-108,\"Parameter not allowed\""},
    ErrorCase{"OUTP? MAX", "-108,\"Parameter not allowed\""},
    ErrorCase{"*ESE 256", "-222,\"Data out of range;*ESE 256, 0..255\""},
    ErrorCase{"*SRE MAX", "-224,\"Illegal parameter value;*SRE MAX, expected a decimal number\""},
    ErrorCase{"*SRE 5 S", "-138,\"Suffix not allowed;*SRE 5 S, no unit\""},
    ErrorCase{"STAT:QUES:ENAB 32768", "-222,\"Data out of range;STAT:QUES:ENAB 32768, 0..32767\""},
    ErrorCase{"*ESE", "-109,\"Missing parameter\""},
    ErrorCase{"*RST?", "-113,\"Undefined header;no query form\""},
    ErrorCase{"*TST", "-113,\"Undefined header;query only\""},
    ErrorCase{"*STB", "-113,\"Undefined header;query only\""},
    ErrorCase{"STAT:PRES?", "-113,\"Undefined header;no query form\""},
    ErrorCase{"STAT:QUES:COND 5", "-113,\"Undefined header;query only\""},
    ErrorCase{"SYST:ERR:ALL", "-113,\"Undefined header;query only\""}));

// Execution errors: what ran before the error stays done, the rest of the
// line is not run, the line answers nothing and queues one error.
struct ExecutionCase {
    const char *line;
    const char *token;          // "" for none
    bool connected;
    const char *failWith;       // every device write fails with this, "" for none
    std::vector<Setting> sent;  // what reached the device
    int triggers;
    const char *error;
};

class ScpiExecutionError : public ::testing::TestWithParam<ExecutionCase> {};

TEST_P(ScpiExecutionError, StopsTheLineAnswersNothingAndQueuesOneError) {
    const ExecutionCase &c = GetParam();
    SCOPED_TRACE(c.line);
    FakeScpiDevice device;
    device.s.connected = c.connected;
    device.s.channels[1].temperatureKnown = false;  // SOURce2's temperature is never read
    device.failWith = c.failWith;
    ScpiSession session(device, c.token);
    const Result result = run(session, c.line);
    ASSERT_TRUE(result.answered);
    EXPECT_EQ(result.answer, "");
    EXPECT_EQ(device.applied, c.sent);
    EXPECT_EQ(device.triggers, c.triggers);
    EXPECT_EQ(drainErrors(session), std::vector<std::string>{c.error});
}

const char *const kProtected = "-203,\"Command protected;send SYSTem:PASSword first\"";
const char *const kWriteFailed = "[error] <UART_SendBytes:200> WriteFile failed with error \"5\".";

INSTANTIATE_TEST_SUITE_P(Table, ScpiExecutionError, ::testing::Values(
    ExecutionCase{"SOUR1:POW?;SOUR1:POW 5;SOUR2:POW?", "t", true, "", {}, 0, kProtected},
    ExecutionCase{"*TRG;TRIG:INT;*OPC?", "t", true, "", {}, 0, kProtected},
    ExecutionCase{"SYST:PASS 't';SOUR1:POW 5;SYST:PASS 'x';SOUR2:POW 6;*OPC?", "t", true, "",
                  {{Field::Brightness, 0, 5}}, 0, "-224,\"Illegal parameter value;wrong password\""},
    ExecutionCase{"SYST:VERS?;SOUR1:POW?;*OPC?", "", false, "", {}, 0,
                  "-240,\"Hardware error;device not connected\""},
    ExecutionCase{"*OPC?;*IDN?", "", false, "", {}, 0, "-240,\"Hardware error;device not connected\""},
    ExecutionCase{"SOUR1:POW 5;SOUR2:POW 6;*OPC?", "", true, kWriteFailed, {{Field::Brightness, 0, 5}}, 0,
                  "-240,\"Hardware error;[error] <UART_SendBytes:200> WriteFile failed with error \"\"5\"\".\""},
    ExecutionCase{"*TRG;*TRG", "", true, kWriteFailed, {}, 1,
                  "-240,\"Hardware error;[error] <UART_SendBytes:200> WriteFile failed with error \"\"5\"\".\""},
    ExecutionCase{"SOUR1:TEMP?;SOUR2:TEMP?;SOUR2:POW 9", "", true, "", {}, 0,
                  "-240,\"Hardware error;temperature not read yet\""},
    ExecutionCase{"SOUR1:POW 9;SOUR2:TEMP:ALAR?;SOUR3:POW 9", "", true, "", {{Field::Brightness, 0, 9}}, 0,
                  "-240,\"Hardware error;temperature not read yet\""}));

TEST(ScpiLine, CommandsRunInOrderAndAnswerOnOneLine) {
    FakeScpiDevice device;
    ScpiSession session(device, "");
    const Result result = run(session, "SOUR1:POW 50;POW?;:SOUR2:POW 60;SOUR2:POW?;*OPC?");
    EXPECT_EQ(result.answer, "50;60;1");
    EXPECT_EQ(device.applied, (std::vector<Setting>{{Field::Brightness, 0, 50}, {Field::Brightness, 1, 60}}));
    EXPECT_EQ(session.errorCount(), 0u);
}

TEST(ScpiLine, HeaderAfterSemicolonFallsBackToTheRoot) {
    FakeScpiDevice device;
    ScpiSession session(device, "");
    // SOUR2:POW is not below SOURce1, so it is taken from the root.
    run(session, "SOUR1:POW 5;SOUR2:POW 6;STAT ON");
    EXPECT_EQ(device.applied, (std::vector<Setting>{
                                  {Field::Brightness, 0, 5}, {Field::Brightness, 1, 6}, {Field::ChannelEnable, 1, 1}}));
    EXPECT_EQ(session.errorCount(), 0u);
}

TEST(ScpiLine, SemicolonInsideAStringDoesNotSplit) {
    FakeScpiDevice device;
    ScpiSession session(device, "a;b");
    run(session, "SYST:PASS \"a;b\";SOUR1:POW 9");
    EXPECT_TRUE(session.unlocked());
    EXPECT_EQ(device.applied, (std::vector<Setting>{{Field::Brightness, 0, 9}}));
}

// Every declared pattern is reached by its long and its short form.
TEST(ScpiTable, EveryPatternMatchesItsLongAndShortForm) {
    for (const ScpiCommandDef &def : scpiCommands()) {
        std::string longForm, shortForm;
        bool optional = false;
        for (const char *p = def.pattern; *p != '\0'; ++p) {
            if (*p == '[') optional = true;
            if (*p == ']') optional = false;
            if (*p == '[' || *p == ']' || optional) continue;
            if (*p == '#') {
                longForm += '2';
                shortForm += '2';
                continue;
            }
            longForm += *p;
            if (!std::islower(static_cast<unsigned char>(*p))) shortForm += *p;
        }
        for (const std::string &header : {longForm, shortForm}) {
            const std::string line = header + (def.query ? "?" : def.param == ScpiParam::None ? "" : " 1");
            const auto units = parseScpiLine(line);
            ASSERT_EQ(units.size(), 1u) << line;
            EXPECT_EQ(units[0].error, 0) << line;
            EXPECT_EQ(units[0].def, &def) << line;
        }
    }
}

// ---- HTTP on the SCPI port ------------------------------------------------

struct HttpCase {
    std::string line;
    bool http;
};

class ScpiHttpLine : public ::testing::TestWithParam<HttpCase> {};

// What the server closes a connection for; the SCPI parser refuses each such
// line too, so the rule never costs a valid command.
TEST_P(ScpiHttpLine, IsRecognisedAndNeverValidScpi) {
    const HttpCase &c = GetParam();
    EXPECT_EQ(looksLikeHttp(c.line), c.http) << c.line;
    if (c.http) {
        const auto units = parseScpiLine(c.line);
        ASSERT_FALSE(units.empty()) << c.line;
        EXPECT_NE(units[0].error, 0) << c.line;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, ScpiHttpLine, ::testing::Values(
    HttpCase{"POST / HTTP/1.1", true},
    HttpCase{"GET /api/v1/state?x=1 HTTP/1.0", true},
    HttpCase{"OPTIONS * HTTP/1.1", true},
    HttpCase{"PRI * HTTP/2.0", true},
    HttpCase{"get /", true},                       // a method and a space are enough
    HttpCase{"GET /" + std::string(1100, 'a'), true},  // the start of an over-long line
    HttpCase{"OUTP / HTTP/1.1", true},             // any method, with the version
    HttpCase{"Host: 127.0.0.1:5025", true},
    HttpCase{"Origin: http://evil.example", true},
    HttpCase{"Content-Type: text/plain;charset=UTF-8", true},
    HttpCase{"sec-fetch-mode:\tno-cors", true},
    HttpCase{"X-Empty: ", true},
    HttpCase{"*IDN?", false},
    HttpCase{"OUTP ON", false},
    HttpCase{"SOUR1:POW 5;STAT ON", false},
    HttpCase{":SOUR1:POW?", false},
    HttpCase{"SYST:PASS \"GET / HTTP/1.1\"", false},
    HttpCase{"SYST:PASS \"Host: x\"", false},
    HttpCase{"SOUR1:", false},                      // an SCPI typo, not a header
    HttpCase{" Host: x", false},
    HttpCase{"GETX", false},
    HttpCase{"OUTP HTTP/1.1", false},
    HttpCase{"", false}));

// ---- the error queue ------------------------------------------------------

TEST(ScpiErrorQueue, OverflowReplacesTheNewestWithQueueOverflow) {
    FakeScpiDevice device;
    ScpiSession session(device, "");
    for (int i = 0; i < 20; ++i) run(session, "SOUR1:POW 101");
    const auto errors = drainErrors(session);
    ASSERT_EQ(errors.size(), ScpiSession::kErrorQueueSize);
    EXPECT_EQ(errors.front(), "-222,\"Data out of range;SOUR1:POW 101, 0..100\"");
    EXPECT_EQ(errors.back(), "-350,\"Queue overflow\"");
    EXPECT_EQ(run(session, "SYST:ERR?").answer, "0,\"No error\"");
}

TEST(ScpiErrorQueue, ErrorQueryReadsOldestFirstAndClsClears) {
    FakeScpiDevice device;
    ScpiSession session(device, "");
    run(session, "FOO");
    run(session, "SOUR1:POW 101");
    EXPECT_EQ(run(session, "SYST:ERR?;ERR?;ERR?").answer,
              "-113,\"Undefined header\";-222,\"Data out of range;SOUR1:POW 101, 0..100\";0,\"No error\"");
    run(session, "FOO;FOO");
    run(session, "*CLS");
    EXPECT_EQ(session.errorCount(), 0u);
}

// A failed line answers nothing, so what its SYSTem:ERRor? queries read must
// stay in the queue; what its *CLS cleared stays cleared.
TEST(ScpiErrorQueue, FailedLineGivesBackTheErrorsItsQueriesRead) {
    FakeScpiDevice device;
    device.s.connected = false;
    ScpiSession session(device, "");
    run(session, "FOO");
    run(session, "SOUR1:POW 101");
    EXPECT_EQ(run(session, "SYST:ERR?;SYST:ERR?;SOUR1:POW?").answer, "");
    const std::string hw = "-240,\"Hardware error;device not connected\"";
    EXPECT_EQ(drainErrors(session),
              (std::vector<std::string>{"-113,\"Undefined header\"", "-222,\"Data out of range;SOUR1:POW 101, 0..100\"", hw}));
    run(session, "FOO");
    EXPECT_EQ(run(session, "SYST:ERR?;*CLS;SOUR1:POW?").answer, "");
    EXPECT_EQ(drainErrors(session), std::vector<std::string>{hw});
    for (int i = 0; i < 16; ++i) run(session, "FOO");
    run(session, "SYST:ERR?;SOUR1:POW?");
    const auto full = drainErrors(session);
    ASSERT_EQ(full.size(), ScpiSession::kErrorQueueSize);
    EXPECT_EQ(full.back(), "-350,\"Queue overflow\"");
}

TEST(ScpiErrorQueue, CountAndAllReadTheWholeQueue) {
    FakeScpiDevice device;
    ScpiSession session(device, "");
    run(session, "FOO");
    run(session, "SOUR3:POW 150");
    EXPECT_EQ(run(session, "SYST:ERR:COUN?").answer, "2");
    EXPECT_EQ(run(session, "SYST:ERR:ALL?;COUN?").answer,
              "-113,\"Undefined header\",-222,\"Data out of range;SOUR3:POW 150, 0..100\";0");
    // A failed line gives back what its SYSTem:ERRor:ALL? read.
    run(session, "FOO");
    device.s.connected = false;
    EXPECT_EQ(run(session, "SYST:ERR:ALL?;SOUR1:POW?").answer, "");
    EXPECT_EQ(drainErrors(session), (std::vector<std::string>{"-113,\"Undefined header\"",
                                                             "-240,\"Hardware error;device not connected\""}));
}

// ---- the Standard Event Status Register and the status byte ------------------

// After `*ESE 61;*SRE 32` (what a generic driver sends), the lines run; then
// `*STB?;*ESR?;*STB?` reads the status byte, the ESR (which clears it) and
// the status byte again.
struct EventCase {
    std::vector<std::string> lines;
    const char *token;
    bool connected;
    const char *failWith;
    const char *answer;
};

class ScpiEvents : public ::testing::TestWithParam<EventCase> {};

TEST_P(ScpiEvents, ErrorsSetTheirClassBitAndTheStatusByteFollows) {
    const EventCase &c = GetParam();
    FakeScpiDevice device;
    device.s.connected = c.connected;
    device.failWith = c.failWith;
    ScpiSession session(device, c.token);
    run(session, "*ESE 61;*SRE 32");
    for (const std::string &line : c.lines) run(session, line);
    EXPECT_EQ(run(session, "*STB?;*ESR?;*STB?").answer, c.answer);
}

const std::vector<std::string> kSeventeenErrors(17, "FOO");

INSTANTIATE_TEST_SUITE_P(Table, ScpiEvents, ::testing::Values(
    // Status byte 100 = RQS 64 + ESB 32 + error queue 4 (MAV 16 joins the second *STB?).
    EventCase{{}, "", true, "", "0;0;16"},
    EventCase{{"FOO"}, "", true, "", "100;32;20"},
    EventCase{{"SOUR1:POW 101"}, "", true, "", "100;16;20"},            // -222 is an execution error
    EventCase{{"SOUR1:POW ten"}, "", true, "", "100;16;20"},            // and so is -224
    EventCase{{"SOUR1:TEMP?;FOO"}, "", true, "", "100;32;20"},          // refused whole: one command error
    EventCase{{"SOUR1:TEMP?"}, "", false, "", "100;16;20"},             // -240: execution error
    EventCase{{"SYST:PASS 'x'"}, "t", true, "", "100;16;20"},           // -224 from the lock: execution
    EventCase{{"*TST?"}, "", true, "gone", "100;8;20"},                 // -330: device-dependent
    EventCase{kSeventeenErrors, "", true, "", "100;40;20"},             // -350 adds device-dependent
    EventCase{{"FOO", "SOUR1:TEMP?;:SOUR1:POW 5"}, "t", true, "", "100;48;20"},
    EventCase{{"*OPC"}, "", true, "", "96;1;16"},
    EventCase{{"FOO", "SYST:ERR?"}, "", true, "", "96;32;16"},          // the queue is empty, the ESR is not
    EventCase{{"FOO", "*CLS"}, "", true, "", "0;0;16"},
    EventCase{{"FOO", "*ESR?"}, "", true, "", "4;0;20"},
    EventCase{{"FOO", "*ESR?;SOUR1:POW 5"}, "t", true, "", "100;48;20"},  // the failed line's *ESR? gives back
    EventCase{{"FOO", "*CLS;SOUR1:POW 5"}, "t", true, "", "100;16;20"},   // what *CLS cleared stays cleared
    EventCase{{"FOO", "*ESE 16"}, "", true, "", "4;32;20"},
    EventCase{{"FOO", "*SRE 0"}, "", true, "", "36;32;20"}));

struct ClassCase {
    int code;
    unsigned esr;
};

class ScpiErrorClass : public ::testing::TestWithParam<ClassCase> {};

TEST_P(ScpiErrorClass, SetsItsEsrBit) {
    FakeScpiDevice device;
    ScpiSession session(device, "");
    session.queueError(GetParam().code);
    EXPECT_EQ(run(session, "*ESR?").answer, std::to_string(GetParam().esr));
}

INSTANTIATE_TEST_SUITE_P(Table, ScpiErrorClass, ::testing::Values(
    ClassCase{-100, 32}, ClassCase{-199, 32}, ClassCase{-200, 16}, ClassCase{-240, 16}, ClassCase{-330, 8},
    ClassCase{-350, 8}, ClassCase{-410, 4}, ClassCase{-499, 4}, ClassCase{100, 0}));

TEST(ScpiEvents, EachConnectionHasItsOwnRegisters) {
    FakeScpiDevice device;
    ScpiSession first(device, "");
    ScpiSession second(device, "");
    run(first, "FOO");
    run(first, "*ESE 32");
    run(second, "*CLS");
    EXPECT_EQ(run(first, "*ESE?;*ESR?").answer, "32;32");
    EXPECT_EQ(run(second, "*ESE?;*ESR?;STAT:QUES:TEMP?").answer, "0;0;0");
}

// ---- STATus:QUEStionable and STATus:OPERation follow the device ----------------

// One step: a change on the device, then a line and its answer.
struct StatusStep {
    int alarmChannel;  // 0..3: set that channel's alarm to `on`; -1: leave the alarms
    bool on;
    bool connected;
    const char *line;
    const char *answer;
};

TEST(ScpiQuestionable, AlarmsAndALostDeviceSetTheirBits) {
    const std::vector<StatusStep> steps = {
        {-1, false, true, "*CLS;:STAT:QUES:TEMP?;:STAT:QUES?;:STAT:QUES:TEMP:COND?", "0;0;4"},
        {0, true, true, "STAT:QUES:TEMP:COND?;:STAT:QUES:COND?;:STAT:QUES?;:STAT:QUES:TEMP?", "5;16;16;1"},
        // Read, the temperature event is gone, and with it the summary.
        {-1, false, true, "STAT:QUES:TEMP?;:STAT:QUES:COND?;:STAT:QUES:TEMP:COND?", "0;0;5"},
        {2, false, true, "STAT:QUES:TEMP:COND?;:STAT:QUES:TEMP?", "1;0"},  // falling: no event
        {-1, false, true, "STAT:QUES:TEMP:NTR 15;PTR 0", ""},
        {0, false, true, "STAT:QUES:TEMP?;COND?", "1;0"},  // now only falling edges count
        {3, true, true, "STAT:QUES:TEMP?;:STAT:QUES:TEMP:COND?", "0;8"},
        {-1, false, true, "STAT:PRES;:STAT:QUES:TEMP:PTR?;NTR?;ENAB?", "32767;0;15"},
        // The status byte's QUES bit once STAT:QUES:ENAB passes the summary.
        {-1, false, true, "STAT:QUES?;:STAT:QUES:ENAB 16;:*SRE 8;*STB?", "16;16"},
        {1, true, true, "*STB?;:STAT:QUES?", "72;16"},
        {-1, false, true, "*STB?", "0"},
        // A lost device: bit 9, and its alarms no longer count.
        // (SOURce2's alarm is still an unread temperature event: bit 4 stays.)
        {-1, false, false, "STAT:QUES:COND?;:STAT:QUES?;:STAT:QUES:TEMP:COND?", "528;512;0"},
        {-1, false, true, "STAT:QUES:COND?;:STAT:QUES:TEMP?", "16;10"},
    };
    FakeScpiDevice device;
    ScpiSession session(device, "");
    for (const StatusStep &step : steps) {
        SCOPED_TRACE(step.line);
        if (step.alarmChannel >= 0) device.s.channels[step.alarmChannel].overTemperature = step.on;
        device.s.connected = step.connected;
        session.updateStatus();
        EXPECT_EQ(run(session, step.line).answer, step.answer);
    }
    EXPECT_EQ(drainErrors(session), std::vector<std::string>{});
}

// The server passes every device change on, so an alarm that comes and goes
// between two lines still leaves its event.
TEST(ScpiQuestionable, AnAlarmBetweenTwoLinesLeavesItsEvent) {
    FakeScpiDevice device;
    ScpiSession session(device, "");
    run(session, "*CLS");
    device.s.channels[1].overTemperature = true;
    session.updateStatus();
    device.s.channels[1].overTemperature = false;
    session.updateStatus();
    EXPECT_EQ(run(session, "STAT:QUES:TEMP:COND?;:STAT:QUES:TEMP?;:STAT:QUES?").answer, "4;2;16");
}

struct OperationCase {
    const char *line;  // run after the fake's state: output on, EDGE mode, TTL output on
    const char *answer;
};

class ScpiOperation : public ::testing::TestWithParam<OperationCase> {};

TEST_P(ScpiOperation, TriggerOutputsRunningSetTheirBits) {
    FakeScpiDevice device;
    ScpiSession session(device, "");
    EXPECT_EQ(run(session, GetParam().line).answer, GetParam().answer);
}

INSTANTIATE_TEST_SUITE_P(Table, ScpiOperation, ::testing::Values(
    OperationCase{"STAT:OPER:COND?", "0"},
    OperationCase{"SOUR:MODE TTL;:STAT:OPER:COND?;:STAT:OPER?", "256;256"},
    OperationCase{"SOUR:MODE TTL;:OUTP OFF;:STAT:OPER:COND?;:STAT:OPER?", "0;256"},
    OperationCase{"SOUR:MODE TTL;:TRIG:TTL:OUTP OFF;:STAT:OPER:COND?", "0"},
    OperationCase{"SOUR:MODE INT;:STAT:OPER:COND?;:TRIG:INT:OUTP ON;:STAT:OPER:COND?", "0;512"},
    OperationCase{"STAT:OPER:ENAB 256;:*STB?;:SOUR:MODE TTL;:*STB?;:STAT:OPER?;:*STB?", "0;144;256;16"},
    OperationCase{"STAT:OPER:PTR 0;NTR 256;:SOUR:MODE TTL;:SOUR:MODE EDGE;:STAT:OPER?", "256"}));

// ---- *RST and *TST? ---------------------------------------------------------

struct ResetCase {
    const char *name;
    void (*prepare)(DeviceState &);
    std::vector<Setting> writes;
};

class ScpiReset : public ::testing::TestWithParam<ResetCase> {};

TEST_P(ScpiReset, SendsOnlyTheWritesTheSafeStateNeeds) {
    FakeScpiDevice device;
    GetParam().prepare(device.s);
    ScpiSession session(device, "");
    run(session, "FOO");
    EXPECT_EQ(run(session, "*ESE 32;*RST;*ESE?;*ESR?").answer, "32;32");  // registers are the session's, kept
    EXPECT_EQ(device.applied, GetParam().writes);
    EXPECT_FALSE(device.s.enabled);
    EXPECT_EQ(device.s.mode, 0);
    for (const ChannelState &c : device.s.channels) EXPECT_FALSE(c.enabled);
    EXPECT_FALSE(device.s.ttl.outputEnabled || device.s.internal.outputEnabled);
    EXPECT_EQ(device.s.channels[0].brightness, 40);  // values are kept
    EXPECT_EQ(device.s.ttl.delayMs, 250);
    EXPECT_EQ(drainErrors(session), std::vector<std::string>{"-113,\"Undefined header\""});
    device.applied.clear();
    run(session, "*RST");
    EXPECT_TRUE(device.applied.empty()) << "a second *RST has nothing to send";
}

INSTANTIATE_TEST_SUITE_P(Table, ScpiReset, ::testing::Values(
    ResetCase{"fake", [](DeviceState &) {},
              {{Field::GlobalEnable, -1, 0}, {Field::ChannelEnable, 0, 0}, {Field::TtlOutput, -1, 0},
               {Field::WorkMode, -1, 0}}},
    ResetCase{"safe", [](DeviceState &s) {
                  s.enabled = false;
                  s.mode = 0;
                  s.channels[0].enabled = false;
                  s.ttl.outputEnabled = false;
              }, {}},
    ResetCase{"everything on", [](DeviceState &s) {
                  s.mode = 3;
                  for (ChannelState &c : s.channels) c.enabled = true;
                  s.internal.outputEnabled = true;
              },
              {{Field::GlobalEnable, -1, 0}, {Field::ChannelEnable, 0, 0}, {Field::ChannelEnable, 1, 0},
               {Field::ChannelEnable, 2, 0}, {Field::ChannelEnable, 3, 0}, {Field::TtlOutput, -1, 0},
               {Field::InternalOutput, -1, 0}, {Field::WorkMode, -1, 0}}}),
    [](const ::testing::TestParamInfo<ResetCase> &info) {
        std::string name = info.param.name;
        for (char &c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name;
    });

TEST(ScpiReset, IsProtectedAndNeedsTheDevice) {
    FakeScpiDevice device;
    ScpiSession locked(device, "t");
    EXPECT_EQ(run(locked, "*RST;*OPC?").answer, "");
    EXPECT_EQ(drainErrors(locked), std::vector<std::string>{kProtected});
    device.s.connected = false;
    ScpiSession open(device, "");
    EXPECT_EQ(run(open, "*RST;*OPC?").answer, "");
    EXPECT_EQ(drainErrors(open), std::vector<std::string>{"-240,\"Hardware error;device not connected\""});
    EXPECT_TRUE(device.applied.empty());
}

struct SelfTestCase {
    const char *line;
    bool connected;
    const char *failWith;
    const char *answer;
    int selfTests;
    std::vector<std::string> errors;
};

class ScpiSelfTest : public ::testing::TestWithParam<SelfTestCase> {};

TEST_P(ScpiSelfTest, AnswersZeroWhenTheDeviceReadsSucceed) {
    const SelfTestCase &c = GetParam();
    FakeScpiDevice device;
    device.s.connected = c.connected;
    device.failWith = c.failWith;
    ScpiSession session(device, "");
    EXPECT_EQ(run(session, c.line).answer, c.answer);
    EXPECT_EQ(device.selfTests, c.selfTests);
    EXPECT_EQ(drainErrors(session), c.errors);
}

INSTANTIATE_TEST_SUITE_P(Table, ScpiSelfTest, ::testing::Values(
    SelfTestCase{"*TST?", true, "", "0", 1, {}},
    SelfTestCase{"*TST?;*OPC?", true, "", "0;1", 1, {}},
    SelfTestCase{"*TST?", true, "gone", "1", 1, {"-330,\"Self-test failed;gone\""}},
    SelfTestCase{"*TST?", false, "", "1", 0, {"-330,\"Self-test failed;device not connected\""}},
    // One error per line: the second failure and a later execution error add none.
    SelfTestCase{"*TST?;*TST?", true, "gone", "1;1", 2, {"-330,\"Self-test failed;gone\""}},
    SelfTestCase{"*TST?;SOUR1:POW 5", true, "gone", "", 1, {"-330,\"Self-test failed;gone\""}}));

// ---- the password lock ------------------------------------------------------

TEST(ScpiPassword, ChangesAreProtectedUntilTheTokenIsGiven) {
    FakeScpiDevice device;
    ScpiSession session(device, "s3cret");
    for (const char *line : {"SOUR1:POW 5", "*TRG", "TRIG:INT"}) {
        EXPECT_EQ(run(session, line).answer, "") << line;
        EXPECT_EQ(drainErrors(session), std::vector<std::string>{kProtected}) << line;
    }
    EXPECT_EQ(run(session, "SOUR1:POW?").answer, "40");
    EXPECT_TRUE(device.applied.empty());
    EXPECT_EQ(device.triggers, 0);

    run(session, "SYST:PASS \"s3cre\"");
    run(session, "SYST:PASS s3cret1");
    EXPECT_FALSE(session.unlocked());
    EXPECT_EQ(drainErrors(session), (std::vector<std::string>{"-224,\"Illegal parameter value;wrong password\"",
                                                             "-224,\"Illegal parameter value;wrong password\""}));
    run(session, "SYSTem:PASSword:CENable 's3cret';SOUR1:POW 5");
    EXPECT_TRUE(session.unlocked());
    EXPECT_EQ(device.applied, (std::vector<Setting>{{Field::Brightness, 0, 5}}));
}

TEST(ScpiPassword, EachSessionUnlocksOnItsOwn) {
    FakeScpiDevice device;
    ScpiSession first(device, "t");
    ScpiSession second(device, "t");
    run(first, "SYST:PASS \"t\"");
    run(second, "OUTP OFF");
    EXPECT_TRUE(first.unlocked());
    EXPECT_TRUE(device.applied.empty());
}

// ---- the device: not connected, failing -----------------------------------

TEST(ScpiDeviceErrors, DisconnectedDeviceAnswersNothingAndSaysWhy) {
    FakeScpiDevice device;
    device.s.connected = false;
    device.s.lastError = "[info ] <DOCMD_SendAndWaitRecvCmd> recv cmd(0x8103) timeout.";
    ScpiSession session(device, "");
    const std::string hw =
        "-240,\"Hardware error;device not connected: [info ] <DOCMD_SendAndWaitRecvCmd> recv cmd(0x8103) timeout.\"";
    for (const char *line : {"*IDN?", "SOUR1:POW?", "SOUR1:TEMP?", "SOUR1:POW 5", "*TRG"}) {
        EXPECT_EQ(run(session, line).answer, "") << line;
        EXPECT_EQ(drainErrors(session), std::vector<std::string>{hw}) << line;
    }
    EXPECT_EQ(run(session, "SYST:VERS?").answer, "1999.0");
    EXPECT_TRUE(device.applied.empty());
    EXPECT_EQ(device.triggers, 0);
}

TEST(ScpiDeviceErrors, UnknownModeIsAnsweredAsItsNumber) {
    FakeScpiDevice device;
    device.s.mode = 9;
    ScpiSession session(device, "");
    EXPECT_EQ(run(session, "SOUR:MODE?").answer, "9");
}

// A session that waits for the device finishes the line only when the write completes.
class DeferredDevice : public FakeScpiDevice {
public:
    void apply(std::vector<Setting> settings, Done done) override {
        applied.insert(applied.end(), settings.begin(), settings.end());
        pending.push_back(std::move(done));
    }
    std::vector<Done> pending;
};

TEST(ScpiAsync, LineResumesWhenTheDeviceCompletes) {
    DeferredDevice device;
    ScpiSession session(device, "");
    Result result;
    session.execute("SOUR1:POW 5;SOUR2:POW 6;*OPC?", [&result](std::string answer) {
        result.answer = std::move(answer);
        result.answered = true;
    });
    ASSERT_EQ(device.pending.size(), 1u);
    EXPECT_FALSE(result.answered);
    device.pending[0](Outcome{});
    ASSERT_EQ(device.pending.size(), 2u);
    EXPECT_FALSE(result.answered);
    device.pending[1](Outcome{});
    EXPECT_TRUE(result.answered);
    EXPECT_EQ(result.answer, "1");
}

TEST(ScpiAsync, FailedCompletionEndsTheLineWithNothingMoreSent) {
    DeferredDevice device;
    ScpiSession session(device, "");
    Result result;
    session.execute("SOUR1:POW?;SOUR1:POW 5;SOUR2:POW 6;*OPC?", [&result](std::string answer) {
        result.answer = std::move(answer);
        result.answered = true;
    });
    ASSERT_EQ(device.pending.size(), 1u);
    device.pending[0](Outcome{Outcome::Status::DeviceFailed, "gone"});
    EXPECT_TRUE(result.answered);
    EXPECT_EQ(result.answer, "");
    EXPECT_EQ(device.applied, (std::vector<Setting>{{Field::Brightness, 0, 5}}));
    EXPECT_EQ(drainErrors(session), std::vector<std::string>{"-240,\"Hardware error;gone\""});
}

}  // namespace
}  // namespace lightd
