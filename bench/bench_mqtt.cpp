// What a request over the MQTT road costs over the broker's own round trip.
//
// A mosquitto of the bench's own on 127.0.0.1 and the program (headless,
// against orvane-sim) joined to it. The client sends 2,000 exec "Ver"
// requests to the program and 2,000 requests to a plain echo client (this
// executable with --echo: libmosquitto's own blocking loop, answering each
// request on its response topic), taking turns. Both travel the same way:
// client, broker, responder, broker, client, with response topic and
// correlation data; the echo is the floor of any request. Then orvane-exec
// --broker 'Ver' against mosquitto_rr, 20 runs each, process start to answer.
//
// Everything shares one CPU unless --spread is given (see bench_dbus).
#include "bench/BenchUtil.h"
#include "tests/support/MqttBroker.h"
#include "tests/support/SimProcess.h"
#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <cstdio>
#include <cstring>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <vector>

namespace {

constexpr int kCalls = 2000;
constexpr int kWarmup = 200;
constexpr double kTarget = 1.5;
constexpr int kClientRuns = 20;

using Bench::Clock;
using Bench::Fail;
using Bench::Median;
using Bench::Micros;

mosquitto* NewClient(const char* id, int port, void* self)
{
    mosquitto* m = mosquitto_new(id, true, self);
    mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_int_option(m, MOSQ_OPT_TCP_NODELAY, 1);
    if (mosquitto_connect(m, "127.0.0.1", port, 60) != MOSQ_ERR_SUCCESS) {
        mosquitto_destroy(m);
        return nullptr;
    }
    return m;
}

// --echo <port>: answers every request on bench/echo with its own payload.
int Echo(int port)
{
    mosquitto_lib_init();
    mosquitto* m = NewClient("bench-echo", port, nullptr);
    if (!m)
        return 1;
    mosquitto_message_v5_callback_set(m, [](mosquitto* m, void*, const mosquitto_message* msg,
                                            const mosquitto_property* props) {
        char* topic = nullptr;
        if (!mosquitto_property_read_string(props, MQTT_PROP_RESPONSE_TOPIC, &topic, false))
            return;
        void* corr = nullptr;
        uint16_t len = 0;
        mosquitto_property* out = nullptr;
        if (mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &corr, &len, false))
            mosquitto_property_add_binary(&out, MQTT_PROP_CORRELATION_DATA, corr, len);
        mosquitto_publish_v5(m, nullptr, topic, msg->payloadlen, msg->payload, 0, false, out);
        mosquitto_property_free_all(&out);
        std::free(corr);
        std::free(topic);
    });
    mosquitto_subscribe(m, nullptr, "bench/echo", 0);
    mosquitto_loop_forever(m, -1, 1);
    return 0;
}

struct Requester {
    mosquitto* m = nullptr;
    uint32_t sent = 0;
    bool answered = false;
    QByteArray answer;

    static void OnMessage(mosquitto*, void* self, const mosquitto_message* msg, const mosquitto_property* props)
    {
        auto* r = static_cast<Requester*>(self);
        void* corr = nullptr;
        uint16_t len = 0;
        if (mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &corr, &len, false)) {
            uint32_t n = 0;
            if (len == sizeof n)
                std::memcpy(&n, corr, sizeof n);
            std::free(corr);
            if (n == r->sent) {
                r->answered = true;
                r->answer = QByteArray(static_cast<const char*>(msg->payload), msg->payloadlen);
            }
        }
    }

    // One request and its answer, in microseconds; negative when none came within 5 s.
    double Time(const char* topic, const QByteArray& payload)
    {
        ++sent;
        answered = false;
        mosquitto_property* props = nullptr;
        mosquitto_property_add_string(&props, MQTT_PROP_RESPONSE_TOPIC, "bench/reply");
        mosquitto_property_add_binary(&props, MQTT_PROP_CORRELATION_DATA, &sent, sizeof sent);
        const auto t0 = Clock::now();
        mosquitto_publish_v5(m, nullptr, topic, int(payload.size()), payload.constData(), 0, false, props);
        while (!answered && Clock::now() - t0 < std::chrono::seconds(5))
            if (mosquitto_loop(m, 100, 1) != MOSQ_ERR_SUCCESS)
                break;
        const double us = Micros(Clock::now() - t0);
        mosquitto_property_free_all(&props);
        return answered ? us : -1;
    }
};

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--echo") == 0)
        return Echo(std::atoi(argv[2]));
    QCoreApplication app(argc, argv);
    const bool spread = QCoreApplication::arguments().contains(QStringLiteral("--spread"));
    if (!spread) {
        // Before any process is started, so that all of them inherit it.
        if (!Bench::KeepToOneCpu())
            return Fail("cannot keep to one CPU; try --spread");
    }
    mosquitto_lib_init();

    TestSupport::MqttBroker broker;
    if (!broker.Start())
        return Fail("mosquitto did not start");

    QTemporaryDir dir;
    if (!dir.isValid())
        return Fail("no temporary directory");
    const QByteArray config = TestSupport::Config(1, 500) + "\"MQTT_HOST\",127.0.0.1\r\n\"MQTT_PORT\","
        + QByteArray::number(broker.Port()) + "\r\n";
    if (!TestSupport::PrepareProgramCopy(dir.path(), dir.path(), config))
        return Fail("cannot copy the program", QStringLiteral(ORVANE_BIN_DIR "/orvane"));
    TestSupport::SimProcess sim;
    if (!sim.Start({QStringLiteral("--link"), dir.filePath(QStringLiteral("COM1")), QStringLiteral("--no-show")}))
        return Fail("orvane-sim did not start");

    QProcessEnvironment env = TestSupport::Headless();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.path());
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("unix:path=/nonexistent"));
    QProcess server;
    server.setProcessEnvironment(env);
    server.start(dir.filePath(QStringLiteral("orvane")), {});
    QProcess echo;
    echo.setProcessChannelMode(QProcess::ForwardedChannels);
    echo.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--echo"), QString::number(broker.Port())});
    if (!server.waitForStarted(5000) || !echo.waitForStarted(5000))
        return Fail("the program or the echo client did not start");
    const QDeadlineTimer deadline(10000);
    while (broker.Retained("orvane/orvane/status") != "online") {
        if (deadline.hasExpired())
            return Fail("the program did not join the broker", QString::fromUtf8(server.readAllStandardError()));
    }

    Requester r;
    r.m = NewClient("bench-client", broker.Port(), &r);
    if (!r.m)
        return Fail("cannot connect to the broker");
    mosquitto_message_v5_callback_set(r.m, &Requester::OnMessage);
    mosquitto_subscribe(r.m, nullptr, "bench/reply", 0);
    for (int i = 0; i < 50; ++i)
        mosquitto_loop(r.m, 10, 1);  // the subscription is in place

    for (int i = 0; i < kWarmup; ++i) {
        if (r.Time("orvane/orvane/exec", "Ver") < 0)
            return Fail("exec \"Ver\" was not answered");
        if (r.Time("bench/echo", "Ver") < 0)
            return Fail("the echo client did not answer");
    }
    std::vector<double> execUs, echoUs;
    execUs.reserve(kCalls);
    echoUs.reserve(kCalls);
    for (int i = 0; i < kCalls; ++i) {
        const double e = r.Time("orvane/orvane/exec", "Ver");
        if (e < 0 || r.answer != "1.0 ; ")
            return Fail("exec \"Ver\" was not answered with \"1.0 ; \"", QString::fromUtf8(r.answer));
        execUs.push_back(e);
        const double p = r.Time("bench/echo", "Ver");
        if (p < 0)
            return Fail("the echo client did not answer");
        echoUs.push_back(p);
    }
    const double execMedian = Median(execUs);
    const double echoMedian = Median(echoUs);
    const double ratio = execMedian / echoMedian;
    std::printf("%s\n", spread ? "Client, broker, program, echo and simulator spread over the CPUs"
                               : "Client, broker, program, echo and simulator on one CPU");
    std::printf("MQTT request against a plain echo through the same broker, %d requests each, taking turns\n", kCalls);
    std::printf("  exec \"Ver\"          median %8.1f us\n", execMedian);
    std::printf("  echo                median %8.1f us\n", echoMedian);
    std::printf("  ratio                      %8.2f   (target <= %.1f: %s)\n", ratio, kTarget,
                ratio <= kTarget ? "met" : "NOT met");

    // A client from its start to its answer: orvane-exec (which first checks
    // the program's status) against mosquitto_rr, taking turns.
    const QString where = QStringLiteral("127.0.0.1:%1").arg(broker.Port());
    const QString port = QString::number(broker.Port());
    auto run = [](const QString& program, const QStringList& args, QByteArray* out) {
        QProcess p;
        const auto t0 = Clock::now();
        p.start(program, args);
        const bool ok = p.waitForFinished(10000) && p.exitCode() == 0;
        const double us = Micros(Clock::now() - t0);
        *out = p.readAllStandardOutput();
        return ok ? us : -1;
    };
    std::vector<double> toolUs, rrUs;
    for (int i = 0; i < kClientRuns; ++i) {
        QByteArray out;
        const double t = run(QStringLiteral(ORVANE_BIN_DIR "/orvane-exec"), {"--broker", where, "Ver"}, &out);
        if (t < 0 || out != "1.0 ; \n")
            return Fail("orvane-exec --broker did not answer \"1.0 ; \"", QString::fromUtf8(out));
        toolUs.push_back(t);
        const double q = run(QStringLiteral("mosquitto_rr"),
                             {"-h", "127.0.0.1", "-p", port, "-t", "orvane/orvane/exec", "-e", "bench/rr", "-m", "Ver"},
                             &out);
        if (q < 0)
            return Fail("mosquitto_rr was not answered");
        rrUs.push_back(q);
    }
    const double toolRatio = Median(toolUs) / Median(rrUs);
    std::printf("A client's start to its answer, %d runs each, taking turns\n", kClientRuns);
    std::printf("  orvane-exec --broker median %8.1f us\n", Median(toolUs));
    std::printf("  mosquitto_rr         median %8.1f us\n", Median(rrUs));
    std::printf("  ratio                       %8.2f   (target <= %.1f: %s)\n", toolRatio, kTarget,
                toolRatio <= kTarget ? "met" : "NOT met");

    mosquitto_destroy(r.m);
    echo.kill();
    echo.waitForFinished(5000);
    server.terminate();
    server.waitForFinished(10000);
    return 0;
}
