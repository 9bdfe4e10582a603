// The HTTP front end's pure translations: state to JSON, PATCH to writes,
// metrics text.
#include <gtest/gtest.h>

#include "HttpApi.h"

using namespace lightd;
using namespace lightd::http;
using nlohmann::json;

namespace {

DeviceState sampleState() {
    DeviceState s;
    s.connected = true;
    s.port = "/dev/pts/7";
    s.connectedSinceMs = 1765000000123;
    s.model = 0xFFAA0400u;
    s.firmwareVersion = 66051;
    s.enabled = true;
    s.mode = 3;
    s.channels[1] = {true, 80, 120, 31.25f, false, true};
    s.channels[2] = {false, 5, 0, 61.5f, true, true};
    s.ttl = {true, 10};
    s.edge = {20};
    s.internal = {true, 30, 40, 50, 60};
    return s;
}

std::string settingText(const Setting &s) {
    return std::to_string(static_cast<int>(s.field)) + "/" + std::to_string(s.channel) + "=" + std::to_string(s.value);
}

std::vector<std::string> settingTexts(const std::vector<Setting> &settings) {
    std::vector<std::string> out;
    for (const Setting &s : settings)
        out.push_back(settingText(s));
    return out;
}

}  // namespace

TEST(HttpStateJson, CarriesEveryFieldUnderItsName) {
    const json j = stateToJson(sampleState(), 20100);
    const json expected = json::parse(R"({
      "connected": true, "connected_since_ms": 1765000000123, "port": "/dev/pts/7", "model": 4289332224,
      "model_name": "4-colour",
      "firmware_version": 66051, "sdk_version": 20100, "enabled": true, "mode": "internal",
      "channels": [
        {"index": 0, "name": "LED385", "enabled": false, "brightness": 0, "temperature": null,
         "over_temperature": null, "pulse_ms": 0},
        {"index": 1, "name": "LED480", "enabled": true, "brightness": 80, "temperature": 31.25,
         "over_temperature": false, "pulse_ms": 120},
        {"index": 2, "name": "LED550", "enabled": false, "brightness": 5, "temperature": 61.5,
         "over_temperature": true, "pulse_ms": 0},
        {"index": 3, "name": "LED640", "enabled": false, "brightness": 0, "temperature": null,
         "over_temperature": null, "pulse_ms": 0}],
      "ttl": {"output_enabled": true, "delay_ms": 10},
      "edge": {"delay_ms": 20},
      "internal": {"output_enabled": true, "delay_ms": 30, "high_ms": 40, "low_ms": 50, "pulse_count": 60}
    })");
    EXPECT_EQ(j, expected) << j.dump(2);
}

TEST(HttpStateJson, UnknownModeAndModelAreNull) {
    DeviceState s;
    s.mode = 9;
    s.model = 0x1234;
    const json j = stateToJson(s, 1);
    EXPECT_TRUE(j["mode"].is_null());
    EXPECT_EQ(j["model_name"], "unknown");
    EXPECT_EQ(stateToJson(DeviceState{}, 1)["mode"], "normal");
    s.model = 0xFFAA0800u;
    EXPECT_EQ(stateToJson(s, 1)["model_name"], "8-colour");
}

TEST(HttpStateJson, TemperaturesEvent) {
    const json j = temperaturesToJson(sampleState());
    EXPECT_EQ(j.dump(),
              R"({"channels":[{"index":0,"over_temperature":null,"temperature":null},)"
              R"({"index":1,"over_temperature":false,"temperature":31.25},)"
              R"({"index":2,"over_temperature":true,"temperature":61.5},)"
              R"({"index":3,"over_temperature":null,"temperature":null}],"connected":true})");
}

TEST(HttpPatch, EveryFieldBecomesItsWrite) {
    struct Case {
        const char *body;
        Setting expected;
    };
    const Case cases[] = {
        {R"({"enabled": true})", {Field::GlobalEnable, -1, 1}},
        {R"({"enabled": false})", {Field::GlobalEnable, -1, 0}},
        {R"({"mode": "normal"})", {Field::WorkMode, -1, 0}},
        {R"({"mode": "ttl"})", {Field::WorkMode, -1, 1}},
        {R"({"mode": "edge"})", {Field::WorkMode, -1, 2}},
        {R"({"mode": "internal"})", {Field::WorkMode, -1, 3}},
        {R"({"mode": "sequence"})", {Field::WorkMode, -1, 4}},
        {R"({"channels": [{"index": 2, "enabled": true}]})", {Field::ChannelEnable, 2, 1}},
        {R"({"channels": [{"index": 3, "brightness": 100}]})", {Field::Brightness, 3, 100}},
        {R"({"channels": [{"index": 0, "pulse_ms": 5000}]})", {Field::PulseWidth, 0, 5000}},
        {R"({"channels": [{"name": "LED480", "brightness": 5}]})", {Field::Brightness, 1, 5}},
        {R"({"channels": [{"name": "led550", "index": 2, "enabled": false}]})", {Field::ChannelEnable, 2, 0}},
        {R"({"channels": [{}, {"brightness": 7}, {}, {}]})", {Field::Brightness, 1, 7}},
        {R"({"ttl": {"output_enabled": true}})", {Field::TtlOutput, -1, 1}},
        {R"({"ttl": {"delay_ms": 12}})", {Field::TtlDelay, -1, 12}},
        {R"({"edge": {"delay_ms": 13}})", {Field::EdgeDelay, -1, 13}},
        {R"({"internal": {"output_enabled": false}})", {Field::InternalOutput, -1, 0}},
        {R"({"internal": {"delay_ms": 14}})", {Field::InternalDelay, -1, 14}},
        {R"({"internal": {"high_ms": 15}})", {Field::InternalHigh, -1, 15}},
        {R"({"internal": {"low_ms": 16}})", {Field::InternalLow, -1, 16}},
        {R"({"internal": {"pulse_count": 100}})", {Field::InternalCount, -1, 100}},
    };
    for (const Case &c : cases) {
        const PatchResult r = parsePatch(c.body);
        ASSERT_EQ(r.status, 0) << c.body << ": " << r.error;
        ASSERT_EQ(r.settings.size(), 1u) << c.body;
        EXPECT_EQ(settingText(r.settings[0]), settingText(c.expected)) << c.body;
    }
}

TEST(HttpPatch, OffSwitchesFirstValuesThenModeThenOnSwitches) {
    const PatchResult r = parsePatch(R"({
        "enabled": true, "mode": "edge",
        "channels": [{"index": 1, "enabled": true, "brightness": 50},
                     {"index": 0, "enabled": false, "pulse_ms": 9}],
        "internal": {"output_enabled": true, "pulse_count": 3}, "ttl": {"output_enabled": false}})");
    ASSERT_EQ(r.status, 0) << r.error;
    const std::vector<Setting> expected = {
        {Field::ChannelEnable, 0, 0}, {Field::TtlOutput, -1, 0},    {Field::Brightness, 1, 50},
        {Field::PulseWidth, 0, 9},    {Field::InternalCount, -1, 3}, {Field::WorkMode, -1, 2},
        {Field::ChannelEnable, 1, 1}, {Field::InternalOutput, -1, 1}, {Field::GlobalEnable, -1, 1},
    };
    EXPECT_EQ(settingTexts(r.settings), settingTexts(expected));
    const PatchResult off = parsePatch(R"({"channels": [{"index": 0, "brightness": 1}], "enabled": false})");
    EXPECT_EQ(settingTexts(off.settings),
              settingTexts({{Field::GlobalEnable, -1, 0}, {Field::Brightness, 0, 1}}));
}

TEST(HttpPatch, ReadOnlyFieldsOfAStateAreIgnored) {
    // A GET's answer, edited and sent back, is a valid PATCH.
    json body = stateToJson(sampleState(), 20100);
    body["channels"][1]["brightness"] = 33;
    const PatchResult r = parsePatch(body.dump());
    ASSERT_EQ(r.status, 0) << r.error;
    EXPECT_EQ(r.settings.size(), 1u + 1 + 4 * 3 + 2 + 1 + 5);
    EXPECT_EQ(parsePatch("{}").settings.size(), 0u);
}

TEST(HttpPatch, RefusalsCarryTheirStatusAndNoWrites) {
    struct Case {
        const char *body;
        int status;
        const char *error;
    };
    const Case cases[] = {
        {"", 400, "the body is not valid JSON"},
        {"{\"enabled\": true", 400, "the body is not valid JSON"},
        {"[1]", 400, "the body must be an object"},
        {"42", 400, "the body must be an object"},
        {R"({"enable": true})", 400, "unknown field \"enable\""},
        {R"({"enabled": 1})", 400, "enabled must be true or false"},
        {R"({"enabled": "on"})", 400, "enabled must be true or false"},
        {R"({"mode": 1})", 400, "mode must be a string"},
        {R"({"mode": "strobe"})", 422, "mode must be one of normal, ttl, edge, internal, sequence, not \"strobe\""},
        {R"({"channels": {}})", 400, "channels must be an array"},
        {R"({"channels": [5]})", 400, "channels[0] must be an object"},
        {R"({"channels": [{"index": 4, "enabled": true}]})", 422, "channels[0].index must be 0..3, not 4"},
        {R"({"channels": [{"index": -1}]})", 422, "channels[0].index must be 0..3, not -1"},
        {R"({"channels": [{"index": "1"}]})", 400, "channels[0].index must be an integer"},
        {R"({"channels": [{"index": 1}, {"index": 1}]})", 400, "LED480 is given twice"},
        {R"({"channels": [{"index": 1}, {"name": "Led480"}]})", 400, "LED480 is given twice"},
        {R"({"channels": [{"name": "LED999"}]})", 422,
         "channels[0].name must be one of LED385, LED480, LED550, LED640, not \"LED999\""},
        {R"({"channels": [{"name": 2}]})", 400, "channels[0].name must be a string"},
        {R"({"channels": [{"index": 0, "name": "LED480", "brightness": 5}]})", 422,
         "channels[0]: index 0 is LED385, not LED480"},
        // The place in the array names a channel only in a full list of four.
        {R"({"channels": [{"brightness": 5}]})", 422,
         "channels[0] names no channel: give its index or name, or list all four channels in order"},
        {R"({"channels": [{"index": 2, "brightness": 101}]})", 422, "LED550 brightness must be 0..100, not 101"},
        {R"({"channels": [{"name": "LED550", "brightness": -1}]})", 422, "LED550 brightness must be 0..100, not -1"},
        {R"({"channels": [{"index": 0, "brightness": 50.5}]})", 400, "LED385 brightness must be an integer"},
        {R"({"channels": [{"index": 0, "brightness": 1e3}]})", 400, "LED385 brightness must be an integer"},
        {R"({"channels": [{"index": 0, "brightness": 18446744073709551615}]})", 422,
         "LED385 brightness must be 0..100, not 18446744073709551615"},
        {R"({"channels": [{"index": 3, "pulse_ms": 5001}]})", 422, "LED640 pulse_ms must be 0..5000, not 5001"},
        {R"({"channels": [{"index": 0, "enabled": "yes"}]})", 400, "LED385 enabled must be true or false"},
        {R"({"channels": [{"index": 0, "colour": 1}]})", 400, "unknown field \"colour\" in LED385"},
        // A key given twice is refused rather than guessed, at any depth.
        {R"({"enabled": "x", "enabled": true})", 400, "the field \"enabled\" is given twice"},
        {R"({"channels": [{"index": 1, "brightness": 5, "brightness": 90}]})", 400,
         "the field \"brightness\" is given twice"},
        {R"({"ttl": true})", 400, "ttl must be an object"},
        {R"({"ttl": {"delay_ms": 5001}})", 422, "ttl.delay_ms must be 0..5000, not 5001"},
        {R"({"ttl": {"delay": 1}})", 400, "unknown field \"ttl.delay\""},
        {R"({"edge": {"output_enabled": true}})", 400, "unknown field \"edge.output_enabled\""},
        {R"({"internal": {"pulse_count": 101}})", 422, "internal.pulse_count must be 0..100, not 101"},
        {R"({"internal": {"high_ms": null}})", 400, "internal.high_ms must be an integer"},
        // One bad field refuses the whole body, wherever it stands.
        {R"({"enabled": true, "channels": [{"index": 0, "brightness": 10}], "internal": {"low_ms": 9999}})", 422,
         "internal.low_ms must be 0..5000, not 9999"},
    };
    for (const Case &c : cases) {
        const PatchResult r = parsePatch(c.body);
        EXPECT_EQ(r.status, c.status) << c.body;
        EXPECT_EQ(r.error, c.error) << c.body;
        EXPECT_TRUE(r.settings.empty()) << c.body;
    }
}

TEST(HttpMetrics, ExactText) {
    MetricsInput in;
    in.deviceCalls = 123;
    in.deviceFailures = 4;
    in.httpConnections = 3;
    in.eventClients = 1;
    for (int i = 0; i < 70; ++i)
        in.httpRequests.add(200);
    for (unsigned code : {404u, 404u, 422u, 503u, 421u, 400u})
        in.httpRequests.add(code);
    const std::string text = renderMetrics(sampleState(), in);
    const std::string expected =
        "# HELP lightkit_device_info The light source's port, model and firmware; always 1.\n"
        "# TYPE lightkit_device_info gauge\n"
        "lightkit_device_info{port=\"/dev/pts/7\",model=\"4-colour\",firmware=\"1.2.3\"} 1\n"
        "# HELP lightkit_connected Whether lightd has the light source open.\n"
        "# TYPE lightkit_connected gauge\n"
        "lightkit_connected 1\n"
        "# HELP lightkit_global_enabled The light source's global enable.\n"
        "# TYPE lightkit_global_enabled gauge\n"
        "lightkit_global_enabled 1\n"
        "# HELP lightkit_work_mode Work mode: 0 normal, 1 ttl, 2 edge, 3 internal, 4 sequence.\n"
        "# TYPE lightkit_work_mode gauge\n"
        "lightkit_work_mode 3\n"
        "# HELP lightkit_channel_enabled Channel enable.\n"
        "# TYPE lightkit_channel_enabled gauge\n"
        "lightkit_channel_enabled{channel=\"0\",name=\"LED385\"} 0\n"
        "lightkit_channel_enabled{channel=\"1\",name=\"LED480\"} 1\n"
        "lightkit_channel_enabled{channel=\"2\",name=\"LED550\"} 0\n"
        "lightkit_channel_enabled{channel=\"3\",name=\"LED640\"} 0\n"
        "# HELP lightkit_channel_brightness_percent Channel brightness in percent.\n"
        "# TYPE lightkit_channel_brightness_percent gauge\n"
        "lightkit_channel_brightness_percent{channel=\"0\",name=\"LED385\"} 0\n"
        "lightkit_channel_brightness_percent{channel=\"1\",name=\"LED480\"} 80\n"
        "lightkit_channel_brightness_percent{channel=\"2\",name=\"LED550\"} 5\n"
        "lightkit_channel_brightness_percent{channel=\"3\",name=\"LED640\"} 0\n"
        "# HELP lightkit_channel_temperature_celsius Channel temperature from the last poll; absent until polled.\n"
        "# TYPE lightkit_channel_temperature_celsius gauge\n"
        "lightkit_channel_temperature_celsius{channel=\"1\",name=\"LED480\"} 31.25\n"
        "lightkit_channel_temperature_celsius{channel=\"2\",name=\"LED550\"} 61.50\n"
        "# HELP lightkit_channel_over_temperature Channel over-temperature alarm; absent until polled.\n"
        "# TYPE lightkit_channel_over_temperature gauge\n"
        "lightkit_channel_over_temperature{channel=\"1\",name=\"LED480\"} 0\n"
        "lightkit_channel_over_temperature{channel=\"2\",name=\"LED550\"} 1\n"
        "# HELP lightkit_device_calls_total Library calls made by the device thread.\n"
        "# TYPE lightkit_device_calls_total counter\n"
        "lightkit_device_calls_total 123\n"
        "# HELP lightkit_device_failures_total Library calls that failed.\n"
        "# TYPE lightkit_device_failures_total counter\n"
        "lightkit_device_failures_total 4\n"
        "# HELP lightkit_http_requests_total HTTP requests answered, by status code.\n"
        "# TYPE lightkit_http_requests_total counter\n"
        "lightkit_http_requests_total{code=\"200\"} 70\n"
        "lightkit_http_requests_total{code=\"400\"} 1\n"
        "lightkit_http_requests_total{code=\"401\"} 0\n"
        "lightkit_http_requests_total{code=\"403\"} 0\n"
        "lightkit_http_requests_total{code=\"404\"} 2\n"
        "lightkit_http_requests_total{code=\"405\"} 0\n"
        "lightkit_http_requests_total{code=\"413\"} 0\n"
        "lightkit_http_requests_total{code=\"422\"} 1\n"
        "lightkit_http_requests_total{code=\"431\"} 0\n"
        "lightkit_http_requests_total{code=\"500\"} 0\n"
        "lightkit_http_requests_total{code=\"502\"} 0\n"
        "lightkit_http_requests_total{code=\"503\"} 1\n"
        "lightkit_http_requests_total{code=\"other\"} 1\n"
        "# HELP lightkit_clients Open client connections by protocol.\n"
        "# TYPE lightkit_clients gauge\n"
        "lightkit_clients{protocol=\"http\"} 3\n"
        "lightkit_clients{protocol=\"events\"} 1\n";
    EXPECT_EQ(text, expected);
    in.scpiClients = 2;
    EXPECT_NE(renderMetrics(sampleState(), in).find("lightkit_clients{protocol=\"scpi\"} 2\n"), std::string::npos);
}

TEST(HttpMetrics, DeviceInfoLabels) {
    struct Case {
        const char *port;
        uint32_t model;
        uint32_t firmware;
        const char *expected;
    };
    const Case cases[] = {
        {"/dev/ttyUSB0", 0xFFAA0800u, 0x00020A00u,
         R"(lightkit_device_info{port="/dev/ttyUSB0",model="8-colour",firmware="2.10.0"} 1)"},
        {"ttyUSB1", 0x12345678u, 0xFF0102FFu, R"(lightkit_device_info{port="ttyUSB1",model="unknown",firmware="1.2.255"} 1)"},
        // Never connected: nothing is known but the port.
        {"/dev/ttyACM0", 0, 0, R"(lightkit_device_info{port="/dev/ttyACM0",model="unknown",firmware=""} 1)"},
        {"C:\\odd \"port\"\nname", 0xFFAA0400u, 0x00010203u,
         R"(lightkit_device_info{port="C:\\odd \"port\"\nname",model="4-colour",firmware="1.2.3"} 1)"},
    };
    for (const Case &c : cases) {
        DeviceState s;
        s.port = c.port;
        s.model = c.model;
        s.firmwareVersion = c.firmware;
        const std::string text = renderMetrics(s, MetricsInput{});
        EXPECT_NE(text.find(std::string(c.expected) + "\n"), std::string::npos) << c.expected << "\n" << text;
    }
}

TEST(HttpMetrics, RequestsByCode) {
    HttpRequestCounts counts;
    EXPECT_EQ(counts.total(), 0u);
    for (unsigned code : {200u, 200u, 503u, 418u, 299u})
        counts.add(code);
    EXPECT_EQ(counts.count(200), 2u);
    EXPECT_EQ(counts.count(503), 1u);
    EXPECT_EQ(counts.count(404), 0u);
    EXPECT_EQ(counts.count(418), 0u);  // not listed: counted as other
    EXPECT_EQ(counts.other(), 2u);
    EXPECT_EQ(counts.total(), 5u);

    MetricsInput in;
    in.httpRequests = counts;
    const std::string text = renderMetrics(DeviceState{}, in);
    EXPECT_NE(text.find("lightkit_http_requests_total{code=\"other\"} 2\n"), std::string::npos) << text;
    // Listed only once there is something in it.
    EXPECT_EQ(renderMetrics(DeviceState{}, MetricsInput{}).find("code=\"other\""), std::string::npos);
}

TEST(HttpError, IsJson) {
    EXPECT_EQ(errorBody("bad \"x\""), R"({"error":"bad \"x\""})");
}
