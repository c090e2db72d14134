#include "boardserver.h"

#include "boardpage.h"
#include "fleetstate.h"

#include <httplib.h>

#include <thread>

namespace cli {

namespace {

// Everything from stations is inserted as text by the page's own script;
// nothing inline runs, nothing comes from elsewhere.
constexpr const char *Policy =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; img-src 'self'; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
// A quiet stream still says something this often, so proxies keep it open
// and a dead reader is noticed.
constexpr auto KeepAlive = std::chrono::seconds(15);
// Events that come close together go out in one write: a busy fleet then
// costs a few writes per stream and second instead of one per event.
constexpr auto Gather = std::chrono::milliseconds(10);

void Harden(httplib::Response &response, const char *cache = "no-cache")
{
    response.set_header("Content-Security-Policy", Policy);
    response.set_header("X-Content-Type-Options", "nosniff");
    response.set_header("Referrer-Policy", "no-referrer");
    response.set_header("Cache-Control", cache);
}

// A whole reply of known length, sent as it is. The HTTP library would
// otherwise compress text on request, and its compressors (Debian's 0.11)
// keep memory after every reply: hundreds of megabytes after a few hundred
// compressed /metrics. The page is small enough to go uncompressed.
void Send(httplib::Response &response, std::string body, const char *type)
{
    auto text = std::make_shared<const std::string>(std::move(body));
    response.set_content_provider(text->size(), type,
                                  [text](size_t offset, size_t length, httplib::DataSink &sink) {
                                      return sink.write(text->data() + offset, length);
                                  });
}

std::string EventText(const publish::FleetState::Update &update)
{
    return "id: " + update.id + "\nevent: " + update.kind + "\ndata: " + update.json + "\n\n";
}

} // namespace

BoardServer::BoardServer(publish::FleetState &fleet)
    : fleet_(fleet), server_(std::make_unique<httplib::Server>()), streams_(std::make_shared<std::atomic<int>>(0))
{
    // Every event stream holds a worker; the other requests need a few more.
    server_->new_task_queue = [] { return new httplib::ThreadPool(MaxStreams + 8); };
    server_->set_payload_max_length(4096);
    server_->set_read_timeout(10, 0);
    server_->set_write_timeout(10, 0);
    Route();
}

BoardServer::~BoardServer() = default;

int BoardServer::Bind(const std::string &host, int port)
{
    if (port == 0)
        return server_->bind_to_any_port(host);
    return server_->bind_to_port(host, port) ? port : -1;
}

void BoardServer::Serve() { server_->listen_after_bind(); }

void BoardServer::Stop()
{
    fleet_.Close();
    server_->stop();
}

void BoardServer::Route()
{
    for (const BoardFile &file : BoardFiles()) {
        server_->Get(file.path, [&file](const httplib::Request &, httplib::Response &response) {
            Harden(response);
            Send(response, std::string(file.body), file.type);
        });
    }
    server_->Get("/api/state", [this](const httplib::Request &, httplib::Response &response) {
        Harden(response, "no-store");
        Send(response, fleet_.StateJson(), "application/json");
    });
    server_->Get("/metrics", [this](const httplib::Request &, httplib::Response &response) {
        response.set_header("Cache-Control", "no-store");
        Send(response, fleet_.Metrics(), "text/plain; version=0.0.4; charset=utf-8");
    });
    server_->Get("/events", [this](const httplib::Request &request, httplib::Response &response) {
        Harden(response, "no-store");
        if (streams_->fetch_add(1) >= MaxStreams) {
            streams_->fetch_sub(1);
            response.status = 503;
            response.set_header("Retry-After", "10");
            response.set_content("too many event streams\n", "text/plain; charset=utf-8");
            return;
        }
        // A browser reconnecting names the last event it had; a page just
        // loaded names the state it drew.
        std::string cursor = request.get_header_value("Last-Event-ID");
        if (cursor.empty())
            cursor = request.get_param_value("after");
        if (cursor.empty())
            cursor = fleet_.LatestId();
        // Tells a proxy in front (nginx) not to hold events back.
        response.set_header("X-Accel-Buffering", "no");
        struct Stream {
            std::string cursor;
            bool started = false;
            bool lost = false;   // told to start again; nothing more to send
            std::shared_ptr<std::atomic<int>> count;
            ~Stream() { count->fetch_sub(1); }
        };
        auto stream = std::make_shared<Stream>();
        stream->cursor = cursor;
        stream->count = streams_;
        response.set_chunked_content_provider(
            "text/event-stream", [this, stream](size_t, httplib::DataSink &sink) {
                std::string out;
                if (!stream->started) {
                    out = "retry: 1000\n\n";
                    stream->started = true;
                }
                if (!stream->lost) {
                    std::optional<std::vector<publish::FleetState::Update>> updates = fleet_.UpdatesAfter(stream->cursor);
                    if (updates && updates->empty() && out.empty()) {
                        fleet_.WaitForUpdate(stream->cursor, KeepAlive);
                        if (!fleet_.Closed())
                            std::this_thread::sleep_for(Gather);
                        updates = fleet_.UpdatesAfter(stream->cursor);
                    }
                    if (!updates) {
                        out += "event: resync\ndata: {}\n\n";
                        stream->lost = true;
                    } else {
                        for (const publish::FleetState::Update &update : *updates)
                            out += EventText(update);
                        if (!updates->empty())
                            stream->cursor = updates->back().id;
                    }
                } else {
                    fleet_.WaitForUpdate(fleet_.LatestId(), KeepAlive);
                }
                if (fleet_.Closed())
                    return false;
                if (out.empty())
                    out = ": keep-alive\n\n";
                return sink.write(out.data(), out.size());
            });
    });
}

} // namespace cli
