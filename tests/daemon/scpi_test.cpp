// The SCPI parser and sessions with no device and no socket: lines in,
// answers, device writes and queued errors out.
#include <gtest/gtest.h>

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
    QueryCase{"", ""}));

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
    WriteCase{"SOUR1:POW\t50", {Field::Brightness, 0, 50}}));

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
    ErrorCase{"FOO;*CLS", "-113,\"Undefined header\""}));

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
