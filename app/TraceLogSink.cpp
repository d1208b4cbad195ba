// TraceLogSink: the process-wide trace log of the reader on Boost.Log. Called once by the main
// program on its main thread; the sink is synchronous, so records are written on the thread
// that logs them.
#include "app/TraceLogSink.h"

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/log/attributes/clock.hpp>
#include <boost/log/attributes/counter.hpp>
#include <boost/log/attributes/current_process_id.hpp>
#include <boost/log/attributes/current_thread_id.hpp>
#include <boost/log/core.hpp>
#include <boost/log/expressions.hpp>
#include <boost/log/expressions/formatters/date_time.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/log/sinks/text_file_backend.hpp>
#include <boost/log/support/date_time.hpp>
#include <boost/log/trivial.hpp>
#include <boost/make_shared.hpp>
#include <boost/system/error_code.hpp>
#include <cerrno>
#include <boost/smart_ptr/weak_ptr.hpp>
#include <fstream>
#include <ostream>

#include "platform/FileIdentity.h"

namespace {

namespace logging = boost::log;
namespace attrs = boost::log::attributes;
namespace expr = boost::log::expressions;
namespace keywords = boost::log::keywords;
namespace sinks = boost::log::sinks;

// The file backend notices a write that failed (a full file system, a file size limit) only at
// the next record, and then quietly goes on in a new file: trace lines would be lost unseen.
// This backend checks the file after every record and throws when the record did not reach it.
class VCheckedTraceFileBackend : public sinks::text_file_backend {
public:
    using sinks::text_file_backend::text_file_backend;

    // Remembers the stream of each file the backend opens, and which file its name led to
    // (installed by InitTraceLogSink as the open handler).
    void Watch(std::ostream& file) {
        mFile = &file;
        mIdentityKnown =
            Platform::FileIdentity::Of(get_current_file_name().string(), &mOpenedIdentity);
    }

    // Under the sink's lock: whether the current file no longer stands under its name (when one
    // is open); *path is its name then.
    bool CurrentFileRemoved(std::string* path) const {
        const boost::filesystem::path current = get_current_file_name();
        if (current.empty() || !mIdentityKnown) {
            return false;
        }
        Platform::FileIdentity now;
        if (Platform::FileIdentity::Of(current.string(), &now) && now == mOpenedIdentity) {
            return false;
        }
        *path = current.string();
        return true;
    }

    // Called by the synchronous frontend under its lock, on the logging thread.
    void consume(const logging::record_view& record, const string_type& message) {
        errno = 0;  // so that a failure's reason is this record's
        try {
            sinks::text_file_backend::consume(record, message);
        } catch (const boost::filesystem::filesystem_error& e) {
            // The library reports a file it cannot open with a generic code; the system's own
            // reason (a full file system, no permission, a directory in the way) is in errno.
            const int error = errno;
            if (error == 0 || e.code().value() == error) {
                throw;
            }
            throw boost::filesystem::filesystem_error(
                "Failed to open the trace log for writing", e.path1(),
                boost::system::error_code(error, boost::system::generic_category()));
        }
        if (mFile != nullptr && !mFile->good()) {
            const int error = errno != 0 ? errno : EIO;
            // What did not reach the file stays in the stream's buffer, and closing the file at
            // the next rotation would write it once there is room again: a line counted as lost
            // would turn up in the log after all. Closing now drops it while there is still no
            // room; when the close does write it, the line is complete and not lost.
            auto* buffer = dynamic_cast<std::filebuf*>(mFile->rdbuf());
            if (buffer != nullptr && buffer->close() != nullptr) {
                return;
            }
            throw boost::filesystem::filesystem_error(
                "Failed to write the trace log", get_current_file_name(),
                boost::system::error_code(error, boost::system::generic_category()));
        }
    }

private:
    std::ostream* mFile = nullptr;
    Platform::FileIdentity mOpenedIdentity;
    bool mIdentityKnown = false;
};

using VTraceFileSink = sinks::synchronous_sink<VCheckedTraceFileBackend>;

// The installed sink, for RestartTraceLogIfRemoved; the logging core owns it.
boost::weak_ptr<VTraceFileSink> sInstalledSink;

}  // namespace

void InitTraceLogSink(const std::string& directory) {
    const boost::filesystem::path dir(directory);

    // Open mode (truncate) and the absence of time-based rotation are the backend's defaults.
    auto backend = boost::make_shared<VCheckedTraceFileBackend>(
        keywords::file_name = dir / TRACE_LOG_FILE_PATTERN,
        keywords::rotation_size = TRACE_LOG_ROTATION_SIZE, keywords::auto_flush = true);
    backend->set_open_handler([raw = backend.get()](std::ostream& file) { raw->Watch(file); });
    auto sink = boost::make_shared<VTraceFileSink>(backend);

    // The collector creates the directory now and bounds the closed files in it.
    sink->locked_backend()->set_file_collector(sinks::file::make_collector(
        keywords::target = dir, keywords::max_size = TRACE_LOG_MAX_TOTAL_SIZE,
        keywords::min_free_space = 0));

    sink->set_formatter(expr::stream << expr::attr<unsigned int>("LineID") << ": <"
                                     << expr::format_date_time<boost::posix_time::ptime>(
                                            "TimeStamp", "%Y-%m-%d %H:%M:%S")
                                     << "> " << expr::smessage);

    // Files of earlier runs that match the pattern join the collector, and the file counter
    // moves past the highest number found.
    sink->locked_backend()->scan_for_files(sinks::file::scan_matching, /*update_counter=*/true);

    const auto core = logging::core::get();
    core->add_sink(sink);
    sInstalledSink = sink;

    // The counter hands out its initial value first: the first record is line 1. Values are
    // taken only for records that pass the filter.
    core->add_global_attribute("LineID", attrs::counter<unsigned int>(1));
    core->add_global_attribute("TimeStamp", attrs::local_clock());
    core->add_global_attribute("ProcessID", attrs::current_process_id());
    core->add_global_attribute("ThreadID", attrs::current_thread_id());

    // A record without a "Severity" value fails the comparison and is dropped.
    core->set_filter(expr::attr<logging::trivial::severity_level>("Severity") >=
                     logging::trivial::info);
}

bool RestartTraceLogIfRemoved(std::string* removedPath) {
    const boost::shared_ptr<VTraceFileSink> sink = sInstalledSink.lock();
    if (!sink) {
        return false;
    }
    auto backend = sink->locked_backend();
    if (!backend->CurrentFileRemoved(removedPath)) {
        return false;
    }
    backend->rotate_file();
    return true;
}
