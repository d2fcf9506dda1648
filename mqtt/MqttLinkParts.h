#pragma once
// What MqttLink.cpp (connecting) and MqttLinkTraffic.cpp (what comes and
// goes on a connection) share: the part a connect step keeps alive, and two
// small helpers.
#include "mqtt/BrokerRelay.h"
#include "mqtt/MqttLink.h"

#include <QString>
#include <memory>
#include <mutex>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

namespace Mqtt {

// The connect step may outlive its client's interest (a stop, or its time
// limit, while a lookup hangs): it then destroys the handle itself. libmosquitto's log callback may run on the
// step's thread, hence the lock around what it notes.
struct Link::Shared : std::enable_shared_from_this<Link::Shared> {
    std::mutex mutex;
    Link* owner = nullptr;   // null once the client is gone
    bool stepDone = true;      // no step holds the handle
    QString lastError;         // the TLS handshake's error, for the next failure's why
    QString verifyError;       // why our check of the broker's certificate failed
    int verifyCode = X509_V_OK;
    QString host;
    // Ours: it checks the certificate against the configured name. libmosquitto
    // (2.0) uses a context given to it without freeing it; it goes with the last
    // user of the handle, here, after the handle.
    SSL_CTX* tls = nullptr;
    Relay::Settings relay;
    Relay::Ending ending;  // the relay of the last connection

    ~Shared()
    {
        if (tls)
            SSL_CTX_free(tls);
    }
};

// libmosquitto's error, or errno's with MOSQ_ERR_ERRNO, without a final period.
QString ErrorText(int rc, int savedErrno);
// Milliseconds since some fixed moment, for how long a connection lasted.
qint64 NowMs();

} // namespace Mqtt
