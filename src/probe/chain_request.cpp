#include "probe/chain_request.hpp"

#include "module/api.hpp"

#include <cerrno>
#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

extern char** environ;

namespace avwatch {
namespace {

// os.defpath
constexpr const char* default_search_path = "/bin:/usr/bin";

// Bit n-1 set when signal n is ignored here.
std::uint64_t ignored_signals() {
    std::uint64_t ignored = 0;
    for (int signal = 1; signal < NSIG && signal <= 64; ++signal) {
        struct sigaction action {};
        if (::sigaction(signal, nullptr, &action) == 0 && action.sa_handler == SIG_IGN)
            ignored |= std::uint64_t{1} << (signal - 1);
    }
    return ignored;
}

// What a child forked now from the calling thread would start with (nice
// values are per thread).
guard_protocol::Inherited inherited(std::vector<gid_t>& groups) {
    guard_protocol::Inherited result{{::getuid(), ::geteuid()}, {::getgid(), ::getegid()}, 0, {}};
    errno = 0;
    result.nice = ::getpriority(PRIO_PROCESS, 0);
    if (errno != 0)
        raise_os_error(errno);
    for (int resource = 0; resource < RLIM_NLIMITS; ++resource)
        if (::getrlimit(static_cast<__rlimit_resource_t>(resource), &result.limits[resource]) != 0)
            raise_os_error(errno);
    int count = ::getgroups(0, nullptr);
    if (count > 0) {
        groups.resize(static_cast<std::size_t>(count));
        count = ::getgroups(count, groups.data());
    }
    if (count < 0)
        raise_os_error(errno);
    groups.resize(static_cast<std::size_t>(count));
    return result;
}

}  // namespace

std::vector<std::string> exec_candidates(const std::string& program, const char* path) {
    if (program.find('/') != std::string::npos)
        return {program};
    std::string_view entries = path != nullptr ? path : default_search_path;
    std::vector<std::string> candidates;
    while (true) {
        std::size_t colon = entries.find(':');
        std::string folder(entries.substr(0, colon));
        // As os.path.join: an empty entry is the current directory.
        if (!folder.empty() && folder.back() != '/')
            folder += '/';
        candidates.push_back(folder + program);
        if (colon == std::string_view::npos)
            return candidates;
        entries.remove_prefix(colon + 1);
    }
}

ChainRequest chain_request(Borrowed command) {
    ChainRequest request;
    Owned items = Owned::steal(PySequence_Fast(command.get(), "the prober command must be a sequence"));
    Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    if (count == 0) {
        PyErr_SetString(PyExc_IndexError, "the prober command is empty");
        throw ErrorSet{};
    }
    request.program = Owned::share(PySequence_Fast_GET_ITEM(items.get(), 0));
    for (Py_ssize_t i = 0; i < count; ++i) {
        // As the interpreter's subprocess encodes them: os.fsencode of each.
        PyObject* encoded = nullptr;
        if (!PyUnicode_FSConverter(PySequence_Fast_GET_ITEM(items.get(), i), &encoded))
            throw ErrorSet{};
        Owned owner = Owned::steal(encoded);
        request.body.argv.emplace_back(PyBytes_AS_STRING(encoded), PyBytes_GET_SIZE(encoded));
    }
    request.body.candidates = exec_candidates(request.body.argv.front(), ::getenv("PATH"));
    for (char** entry = environ; *entry != nullptr; ++entry)
        request.body.environment.emplace_back(*entry);
    request.header.ignored_signals = ignored_signals();
    request.header.inherited = inherited(request.body.groups);
    return request;
}

}  // namespace avwatch
