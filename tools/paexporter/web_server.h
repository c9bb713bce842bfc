// The exporter's HTTP side: /metrics, /api/status, the status page and its streams, read-only
// and, with a users file, for logins of that file only.
#ifndef PAEXPORTER_WEB_SERVER_H
#define PAEXPORTER_WEB_SERVER_H

#include "agents.h"
#include "basic_auth.h"

#include <httplib.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>

namespace paexporter {

struct WebOptions {
    std::string address = "127.0.0.1";
    int port            = 9478;
    std::string tls_cert;  // with tls_key: HTTPS
    std::string tls_key;
    const Logins *logins = nullptr;  // not owned, outlives the server; with it, every request needs one of them
};

class WebServer {
public:
    // Throws std::runtime_error when the certificate or the key cannot be used.
    WebServer(Agents &agents, WebOptions options);

    // Binds the address; the port bound (the one given, or any free one for port 0), or none.
    std::optional<int> Bind();
    // Serves on the address bound until Stop.
    void Run();
    // Stops listening and ends the streams; Run returns once the requests under way are answered,
    // within about a second when Stop comes before Run.
    void Stop();

private:
    void Route();
    // Runs a stream on a worker of its own while fewer than kMaxStreams run, else answers 503.
    void OpenStream(httplib::Response &response, httplib::ContentProviderWithoutLength provider);

    Agents &agents_;
    WebOptions options_;
    std::unique_ptr<httplib::Server> server_;
    std::atomic<int> streams_{0};
    std::atomic<bool> stopping_{false};
};

}  // namespace paexporter

#endif  // PAEXPORTER_WEB_SERVER_H
