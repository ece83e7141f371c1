#include "kel36-host/scan/scan_output.h"

#include "kel36-host/config/device_name.h"
#include "kel36-host/output/json_line.h"

namespace keltool {
namespace {

std::string describe(const FoundController& c)
{
    char line[160];
    std::snprintf(line, sizeof line,
                  "found address %d (0x%02X) at %d baud: register 0 = %d (0x%02X), replies %s",
                  c.address, c.address, c.baud, c.data, c.data,
                  c.echoes ? "echo the register" : "do not echo the register");
    return line;
}

std::string summary(const ScanTotals& t)
{
    char line[256];
    std::snprintf(line, sizeof line, "scan done: %d probed in %.1f s, %d answered", t.probed,
                  t.seconds, t.found);
    std::string text = line;
    if (t.garbage > 0)
        text += "; " + std::to_string(t.garbage) +
                " answered with garbage (wrong baud rate? A and B swapped?)";
    if (t.unconfirmed > 0)
        text += "; " + std::to_string(t.unconfirmed) +
                " replies not repeated (late replies of a slow controller? try a longer --timeout)";
    if (t.own_request > 0)
        text += "; " + std::to_string(t.own_request) +
                " probes heard their own request back (an adapter that echoes: add --echo-cancel)";
    if (t.echo_missing > 0)
        text += "; " + std::to_string(t.echo_missing) +
                " requests without their echo (--echo-cancel on an adapter that does not echo?)";
    return text;
}

class PlainOutput : public ScanOutput {
public:
    explicit PlainOutput(std::FILE* out) : out_(out) {}
    void started(const ScanOptions& o, int pairs) override
    {
        std::fprintf(out_, "scanning %s: addresses %d-%d, %d probes\n", shownText(o.port).c_str(),
                     o.first_address, o.last_address, pairs);
    }
    void baudStarted(int baud, std::chrono::milliseconds wait) override
    {
        std::fprintf(out_, "at %d baud, %lld ms a probe\n", baud,
                     static_cast<long long>(wait.count()));
        std::fflush(out_);
    }
    void probing(int, int, int, int, int, std::chrono::seconds) override {}
    void found(const FoundController& c) override
    {
        std::fprintf(out_, "%s\n", describe(c).c_str());
        std::fflush(out_);
    }
    void finished(const ScanTotals& t) override { std::fprintf(out_, "%s\n", summary(t).c_str()); }

protected:
    std::FILE* out_;
};

// Plain lines, with one more line redrawn in place below them.
class ProgressOutput : public PlainOutput {
public:
    using PlainOutput::PlainOutput;
    void baudStarted(int baud, std::chrono::milliseconds wait) override
    {
        clear();
        PlainOutput::baudStarted(baud, wait);
    }
    void probing(int address, int baud, int done, int pairs, int found,
                 std::chrono::seconds left) override
    {
        constexpr int kWidth = 30;
        const int filled = pairs > 0 ? done * kWidth / pairs : kWidth;
        const std::string bar = std::string(static_cast<std::size_t>(filled), '#') +
                                std::string(static_cast<std::size_t>(kWidth - filled), '.');
        std::fprintf(out_, "\r\033[K[%s] address %d at %d baud, found %d, %llds left", bar.c_str(),
                     address, baud, found, static_cast<long long>(left.count()));
        std::fflush(out_);
    }
    void found(const FoundController& c) override
    {
        clear();
        PlainOutput::found(c);
    }
    void finished(const ScanTotals& t) override
    {
        clear();
        PlainOutput::finished(t);
    }

private:
    void clear() { std::fputs("\r\033[K", out_); }
};

class JsonOutput : public ScanOutput {
public:
    explicit JsonOutput(std::FILE* out) : out_(out) {}
    void started(const ScanOptions& o, int pairs) override
    {
        begin("scan");
        json_.key("port");
        json_.string(o.port);
        field("first_address", o.first_address);
        field("last_address", o.last_address);
        json_.key("bauds");
        json_.beginArray();
        for (int baud : o.bauds)
            json_.integer(baud);
        json_.endArray();
        field("probes", pairs);
        put();
    }
    void baudStarted(int, std::chrono::milliseconds) override {}
    void probing(int, int, int, int, int, std::chrono::seconds) override {}
    void found(const FoundController& c) override
    {
        begin("found");
        field("address", c.address);
        field("baud", c.baud);
        field("data", c.data);
        json_.key("echoes");
        json_.boolean(c.echoes);
        put();
    }
    void finished(const ScanTotals& t) override
    {
        begin("scan_done");
        const std::pair<const char*, int> counts[] = {{"probed", t.probed},
                                                      {"found", t.found},
                                                      {"garbage", t.garbage},
                                                      {"unconfirmed", t.unconfirmed},
                                                      {"echo_missing", t.echo_missing},
                                                      {"own_request", t.own_request}};
        for (const auto& [name, value] : counts)
            field(name, value);
        json_.key("seconds");
        json_.real(t.seconds, 4);
        put();
    }

private:
    void begin(const char* event)
    {
        json_.begin();
        json_.key("event");
        json_.string(event);
    }
    void field(const char* name, int value)
    {
        json_.key(name);
        json_.integer(value);
    }
    void put()
    {
        std::fputs(json_.end().c_str(), out_);
        std::fflush(out_);
    }
    std::FILE* out_;
    JsonLine json_;
};

}  // namespace

std::unique_ptr<ScanOutput> makeScanOutput(const ScanOptions& options, std::FILE* out,
                                           bool terminal)
{
    if (options.json)
        return std::make_unique<JsonOutput>(out);
    if (terminal)
        return std::make_unique<ProgressOutput>(out);
    return std::make_unique<PlainOutput>(out);
}

}  // namespace keltool
