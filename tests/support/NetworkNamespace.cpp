#include "support/NetworkNamespace.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stdexcept>

#include "support/ChildProcess.h"

namespace testsupport {

namespace {

bool run(const std::vector<std::string>& argv) {
    ChildProcess command(argv);
    return command.wait(std::chrono::seconds(30)) == 0;
}

}  // namespace

NetworkNamespace::NetworkNamespace() {
    static std::atomic<unsigned> counter{0};
    nsName = "tolvane-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    if (!run({"ip", "netns", "add", nsName})) throw std::runtime_error("ip netns add " + nsName + " failed");
    if (!run({"ip", "-n", nsName, "link", "set", "lo", "up"})) {
        run({"ip", "netns", "delete", nsName});
        throw std::runtime_error("loopback of " + nsName + " does not come up");
    }
}

Cable::Cable(const NetworkNamespace& a, const std::string& addressA, const NetworkNamespace& b,
             const std::string& addressB)
    : nsA(a.name()) {
    static std::atomic<unsigned> counter{0};
    end = "tvc" + std::to_string(::getpid() % 100000) + "x" + std::to_string(counter++);
    const std::string endA = end + "a", endB = end + "b";
    ok = run({"ip", "link", "add", endA, "type", "veth", "peer", "name", endB}) &&
         run({"ip", "link", "set", endA, "netns", a.name()}) &&
         run({"ip", "link", "set", endB, "netns", b.name()}) &&
         run({"ip", "-n", a.name(), "addr", "add", addressA, "dev", endA}) &&
         run({"ip", "-n", b.name(), "addr", "add", addressB, "dev", endB}) &&
         run({"ip", "-n", a.name(), "link", "set", endA, "up"}) &&
         run({"ip", "-n", b.name(), "link", "set", endB, "up"});
}

Bridge::Bridge(const NetworkNamespace& ns, const std::string& address) : nsName(ns.name()) {
    static std::atomic<unsigned> counter{0};
    name = "tvb" + std::to_string(::getpid() % 100000) + "x" + std::to_string(counter++);
    ok = run({"ip", "-n", nsName, "link", "add", name, "type", "bridge"}) &&
         run({"ip", "-n", nsName, "addr", "add", address, "dev", name}) &&
         run({"ip", "-n", nsName, "link", "set", name, "up"});
}

bool Bridge::plug(const NetworkNamespace& other, const std::string& address) {
    const std::string end = name + "p" + std::to_string(ports++);
    const std::string near = end + "a", far = end + "b";
    return run({"ip", "link", "add", near, "type", "veth", "peer", "name", far}) &&
           run({"ip", "link", "set", near, "netns", nsName}) &&
           run({"ip", "link", "set", far, "netns", other.name()}) &&
           run({"ip", "-n", nsName, "link", "set", near, "master", name}) &&
           run({"ip", "-n", nsName, "link", "set", near, "up"}) &&
           run({"ip", "-n", other.name(), "addr", "add", address, "dev", far}) &&
           run({"ip", "-n", other.name(), "link", "set", far, "up"});
}

Cable::~Cable() {
    run({"ip", "-n", nsA, "link", "delete", end + "a"});
}

NetworkNamespace::~NetworkNamespace() {
    run({"ip", "netns", "delete", nsName});
}

bool NetworkNamespace::available() {
    if (::geteuid() != 0) return false;
    try {
        NetworkNamespace probe;
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

std::vector<std::string> NetworkNamespace::exec(const std::vector<std::string>& argv) const {
    std::vector<std::string> wrapped{"ip", "netns", "exec", nsName};
    wrapped.insert(wrapped.end(), argv.begin(), argv.end());
    return wrapped;
}

NetworkNamespace::Inside::Inside(const NetworkNamespace& ns) {
    original = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const int target = ::open(("/var/run/netns/" + ns.name()).c_str(), O_RDONLY | O_CLOEXEC);
    const bool entered = original >= 0 && target >= 0 && ::setns(target, CLONE_NEWNET) == 0;
    if (target >= 0) ::close(target);
    if (!entered) {
        if (original >= 0) ::close(original);
        throw std::runtime_error("cannot enter network namespace " + ns.name());
    }
}

NetworkNamespace::Inside::~Inside() {
    ::setns(original, CLONE_NEWNET);
    ::close(original);
}

}  // namespace testsupport
