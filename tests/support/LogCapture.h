// LogCapture: a test sink on the Boost.Log core that keeps every record's message and
// severity in memory, so tests can check diagnostic lines exactly. Made in a test (or its
// fixture), it takes records from its construction to its destruction. Thread-safe
// (synchronous sink). The one capture of the logging core for every test suite.
#pragma once

#include <boost/log/core.hpp>
#include <boost/log/expressions/message.hpp>
#include <boost/log/sinks/basic_sink_backend.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/log/trivial.hpp>
#include <boost/make_shared.hpp>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace PlixTest {

struct CapturedRecord {
    boost::log::trivial::severity_level severity;
    std::string message;
};

class LogCapture {
public:
    LogCapture() : mBackend(boost::make_shared<Backend>()) {
        mSink = boost::make_shared<Sink>(mBackend);
        boost::log::core::get()->add_sink(mSink);
    }
    ~LogCapture() { boost::log::core::get()->remove_sink(mSink); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<CapturedRecord> Records() const { return mBackend->Records(); }
    std::vector<std::string> Messages() const {
        std::vector<std::string> out;
        for (const auto& r : mBackend->Records()) out.push_back(r.message);
        return out;
    }
    void Clear() { mBackend->Clear(); }

    // From here on every captured message is also written to stderr, one line each; for
    // death-test children, whose stderr the parent matches.
    void EchoToStderr() { mBackend->EchoToStderr(); }

private:
    class Backend : public boost::log::sinks::basic_sink_backend<boost::log::sinks::synchronized_feeding> {
    public:
        void consume(const boost::log::record_view& rec) {
            CapturedRecord c{};
            auto sev = rec.attribute_values()["Severity"].extract<boost::log::trivial::severity_level>();
            if (sev) c.severity = *sev;
            if (auto msg = rec[boost::log::expressions::smessage]) c.message = *msg;
            std::lock_guard<std::mutex> lock(mMutex);
            if (mEcho) std::fprintf(stderr, "%s\n", c.message.c_str());
            mRecords.push_back(c);
        }
        void EchoToStderr() {
            std::lock_guard<std::mutex> lock(mMutex);
            mEcho = true;
        }
        std::vector<CapturedRecord> Records() const {
            std::lock_guard<std::mutex> lock(mMutex);
            return mRecords;
        }
        void Clear() {
            std::lock_guard<std::mutex> lock(mMutex);
            mRecords.clear();
        }

    private:
        mutable std::mutex mMutex;
        std::vector<CapturedRecord> mRecords;
        bool mEcho = false;
    };
    using Sink = boost::log::sinks::synchronous_sink<Backend>;

    boost::shared_ptr<Backend> mBackend;
    boost::shared_ptr<Sink> mSink;
};

}  // namespace PlixTest
