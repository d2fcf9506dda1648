// A request's head from anyone who reaches the page's port: parsed as the gate
// peeks it, then judged by the one rule every request passes, on a connection
// to the server itself so that the Host check has an address to compare.
// Whatever comes, no crash, and a request that passes names a path served.
#include "web/WebLink.h"

#include <QCoreApplication>
#include <QTcpServer>
#include <QTcpSocket>
#include <cstdio>
#include <cstdlib>

namespace {

struct World {
    QTcpServer listener;
    QTcpSocket client;
    std::unique_ptr<Web::Link> link;
    World()
    {
        Web::Settings s;
        s.postPaths = {"/exec"};
        link = std::make_unique<Web::Link>(s);
        listener.listen(QHostAddress::LocalHost, 0);
        client.connectToHost(QHostAddress::LocalHost, listener.serverPort());
        client.waitForConnected(2000);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_web_head";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static World world;
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    Web::Head head;
    if (!Web::ParseHead(bytes, head))
        return 0;
    const Web::Verdict v = world.link->Check(head, &world.client);
    if (v.status == 0 && head.path != "/" && head.path != Web::kSocketPath && head.path != Web::kLoginPath
        && head.path != "/exec") {
        std::fprintf(stderr, "fuzz_web_head: passed a request for %s\n", head.path.constData());
        std::abort();
    }
    return 0;
}
