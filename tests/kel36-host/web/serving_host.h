#pragma once
// kel36-host with --http 127.0.0.1:0, and GETs against the port it bound (the
// test learns it from "kel36-host: dashboard on http://127.0.0.1:PORT/ ..."
// on stderr). `stale_after_s` > 0 sets the views' test-only shorter
// freshness; the driver's own rule is untouched.

#include <gtest/gtest.h>
#include <httplib.h>
#include <json/reader.h>
#include <stdlib.h>

#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host_process.h"

namespace toolstest {

class ServingHost {
public:
    explicit ServingHost(std::vector<std::string> args, int stale_after_s = 0)
        : process_(withHttp(std::move(args)), [stale_after_s] {
              if (stale_after_s > 0)
                  ::setenv("KEL36_HOST_TEST_STALE_AFTER_S", std::to_string(stale_after_s).c_str(),
                           1);
          })
    {
        if (!process_.waitForError("/ (also", std::chrono::seconds(20)))
            return;
        std::smatch m;
        static const std::regex url("dashboard on http://127\\.0\\.0\\.1:([0-9]+)/");
        if (std::regex_search(process_.errorSoFar(), m, url))
            port_ = std::stoi(m[1].str());
    }
    int port() const { return port_; }
    HostProcess& process() { return process_; }

    // GET through a fresh client; the tool's output is drained meanwhile.
    httplib::Result get(const std::string& path)
    {
        process_.drain();
        httplib::Client client("127.0.0.1", port_);
        client.set_read_timeout(5, 0);
        return client.Get(path.c_str());
    }

    // The body of a GET that must answer 200.
    std::string body(const std::string& path)
    {
        const auto res = get(path);
        EXPECT_TRUE(res && res->status == 200) << path;
        return res ? res->body : "";
    }

    Json::Value devices()
    {
        Json::Value root;
        std::istringstream text(body("/api/devices"));
        std::string errors;
        EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), text, &root, &errors))
            << errors;
        return root;
    }

    // Polls /api/devices until `ready` holds, at most 20 s.
    Json::Value devicesWhen(const std::function<bool(const Json::Value&)>& ready)
    {
        for (int i = 0; i < 200; ++i) {
            const Json::Value root = devices();
            if (ready(root))
                return root;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ADD_FAILURE() << "the devices never reached the state awaited";
        return devices();
    }

private:
    static std::vector<std::string> withHttp(std::vector<std::string> args)
    {
        std::vector<std::string> all = {"--plugin", pluginPath(), "--timeout",
                                        "300",      "--http",     "127.0.0.1:0"};
        all.insert(all.end(), args.begin(), args.end());
        return all;
    }

    HostProcess process_;
    int port_ = -1;
};

// "name{labels}" -> value text, every sample line of an exposition.
inline std::map<std::string, std::string> samples(const std::string& text)
{
    std::map<std::string, std::string> out;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        const auto space = line.rfind(' ');
        out[line.substr(0, space)] = line.substr(space + 1);
    }
    return out;
}

}  // namespace toolstest
