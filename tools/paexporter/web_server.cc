#include "web_server.h"

#include "metrics.h"
#include "status_page.h"

#include <records.h>

#include <algorithm>
#include <stdexcept>

namespace paexporter {

namespace ac = agentclient;

namespace {

// Workers for the requests: the streams take at most kMaxStreams of them, so that a scrape
// always finds one.
constexpr std::size_t kWorkers = 16;
constexpr int kMaxStreams      = 8;
// How long a stream waits for something to send before it looks whether the exporter stops,
// and how many such waits pass before it sends a comment to find out whether the reader is gone.
constexpr auto kStreamWait = std::chrono::milliseconds(500);
constexpr int kQuietWaits  = 10;
constexpr int kTailLines   = 100;
constexpr auto kOutputWait = std::chrono::seconds(1);

// How often the listening thread, when no connection comes, looks whether a Stop came before it
// began to listen.
constexpr auto kIdleInterval = std::chrono::seconds(1);

// The workers, whose idle call on the listening thread stops the server once stopping: a Stop
// that comes before cpp-httplib's loop has begun finds nothing to stop.
class Workers : public httplib::ThreadPool {
public:
    Workers(httplib::Server &server, const std::atomic<bool> &stopping)
        : httplib::ThreadPool(kWorkers), server_(server), stopping_(stopping)
    {
    }
    void on_idle() override
    {
        if (stopping_) {
            server_.stop();
        }
    }

private:
    httplib::Server &server_;
    const std::atomic<bool> &stopping_;
};

std::string ServerSentEvent(const std::string &data) { return "data: " + data + "\n\n"; }

// JSON text, with any bytes that are no UTF-8 replaced: the processes write what they like.
std::string JsonText(const patools::Json &json)
{
    return json.dump(-1, ' ', false, patools::Json::error_handler_t::replace);
}

bool Send(httplib::DataSink &sink, const std::string &text) { return sink.write(text.data(), text.size()); }

// The state of an output stream between the calls of its provider, all on one worker.
struct OutputStream {
    std::string server;
    ac::Process process;
    std::optional<ac::Connection> agent;
    std::int64_t cursor = -1;
    int quiet           = 0;
};

}  // namespace

WebServer::WebServer(Agents &agents, WebOptions options) : agents_(agents), options_(std::move(options))
{
    if (!options_.tls_cert.empty()) {
        server_ = std::make_unique<httplib::SSLServer>(options_.tls_cert.c_str(), options_.tls_key.c_str());
        if (!server_->is_valid()) {
            throw std::runtime_error("cannot use the certificate " + options_.tls_cert + " with the key " +
                                     options_.tls_key);
        }
    } else {
        server_ = std::make_unique<httplib::Server>();
    }
    server_->set_idle_interval(kIdleInterval);
    server_->new_task_queue = [this] { return new Workers(*server_, stopping_); };
    server_->set_keep_alive_timeout(2);
    Route();
}

std::optional<int> WebServer::Bind()
{
    if (options_.port == 0) {
        const int port = server_->bind_to_any_port(options_.address);
        return port > 0 ? std::optional(port) : std::nullopt;
    }
    return server_->bind_to_port(options_.address, options_.port) ? std::optional(options_.port) : std::nullopt;
}

void WebServer::Run() { server_->listen_after_bind(); }

void WebServer::Stop()
{
    stopping_ = true;
    server_->stop();
}

void WebServer::OpenStream(httplib::Response &response, httplib::ContentProviderWithoutLength provider)
{
    if (++streams_ > kMaxStreams) {
        --streams_;
        response.status = 503;
        response.set_content("too many streams open\n", "text/plain");
        return;
    }
    response.set_header("Cache-Control", "no-cache");
    response.set_chunked_content_provider("text/event-stream", std::move(provider), [this](bool) { --streams_; });
}

void WebServer::Route()
{
    server_->set_pre_routing_handler([this](const httplib::Request &request, httplib::Response &response) {
        if (request.method != "GET" && request.method != "HEAD") {
            response.status = 405;
            response.set_header("Allow", "GET, HEAD");
            response.set_content("read-only: GET and HEAD only\n", "text/plain");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (options_.logins != nullptr && !options_.logins->Authorized(request.get_header_value("Authorization"))) {
            response.status = 401;
            response.set_header("WWW-Authenticate", "Basic realm=\"paexporter\", charset=\"UTF-8\"");
            response.set_content("a login of the exporter's users file is needed\n", "text/plain");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });

    server_->Get("/", [](const httplib::Request &, httplib::Response &response) {
        response.set_content(kStatusPage, "text/html; charset=utf-8");
    });
    server_->Get("/metrics", [this](const httplib::Request &, httplib::Response &response) {
        const Answers answers = agents_.Ask(MetricRecords);
        response.set_content(Metrics(answers, agents_.Counts()), kMetricsContentType);
    });
    server_->Get("/api/status", [this](const httplib::Request &, httplib::Response &response) {
        const Answers answers =
            agents_.Ask([](ac::Connection &agent) { return patools::ProcessRecords(agent, agent.Processes()); });
        response.set_content(JsonText(answers.records), "application/json");
    });
    server_->Get("/api/events", [this](const httplib::Request &, httplib::Response &response) {
        auto next  = std::make_shared<std::uint64_t>(agents_.Feed().Next());
        auto quiet = std::make_shared<int>(0);
        OpenStream(response, [this, next, quiet](std::size_t, httplib::DataSink &sink) {
            if (stopping_) {
                sink.done();
                return true;
            }
            const std::vector<std::string> events = agents_.Feed().Take(*next, kStreamWait);
            for (const std::string &event : events) {
                if (!Send(sink, ServerSentEvent(event))) {
                    return false;
                }
            }
            *quiet = events.empty() ? *quiet + 1 : 0;
            return *quiet % kQuietWaits != 0 || Send(sink, ": still here\n\n");
        });
    });
    server_->Get("/api/output", [this](const httplib::Request &request, httplib::Response &response) {
        auto stream          = std::make_shared<OutputStream>();
        stream->server       = request.get_param_value("server");
        stream->process.name = request.get_param_value("process");
        stream->process.host = request.get_param_value("host");
        if (!agents_.Knows(stream->server) || stream->process.name.empty()) {
            response.status = 404;
            response.set_content("no such agent or process\n", "text/plain");
            return;
        }
        OpenStream(response, [this, stream](std::size_t, httplib::DataSink &sink) {
            if (stopping_) {
                sink.done();
                return true;
            }
            try {
                if (!stream->agent) {
                    stream->agent.emplace(patools::Connect(stream->server, agents_.Login()));
                }
                ac::Output output = stream->agent->ReadOutput(stream->process, stream->cursor, kTailLines, kOutputWait);
                stream->cursor    = output.cursor;
                if (!output.data.empty()) {
                    stream->quiet = 0;
                    return Send(sink, ServerSentEvent(JsonText(output.data)));
                }
            } catch (const std::exception &error) {
                Send(sink, "event: failure\n" + ServerSentEvent(JsonText(error.what())));
                sink.done();
                return true;
            }
            return ++stream->quiet % kQuietWaits != 0 || Send(sink, ": still here\n\n");
        });
    });
}

}  // namespace paexporter
