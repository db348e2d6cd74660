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
    return ChildProcess(argv).wait(std::chrono::seconds(30)) == 0;
}

// A veth pair `end`a/`end`b, each end moved into its namespace, addressed (if given) and up.
bool veth(const std::string& end, const std::string& nsA, const std::string& addressA, const std::string& nsB,
          const std::string& addressB) {
    const std::string a = end + "a", b = end + "b";
    return run({"ip", "link", "add", a, "type", "veth", "peer", "name", b}) &&
           run({"ip", "link", "set", a, "netns", nsA}) && run({"ip", "link", "set", b, "netns", nsB}) &&
           (addressA.empty() || run({"ip", "-n", nsA, "addr", "add", addressA, "dev", a})) &&
           run({"ip", "-n", nsB, "addr", "add", addressB, "dev", b}) &&
           run({"ip", "-n", nsA, "link", "set", a, "up"}) && run({"ip", "-n", nsB, "link", "set", b, "up"});
}

// A name no other object of this process has; interface names stay within 15 characters.
std::string uniqueName(const std::string& prefix) {
    static std::atomic<unsigned> counter{0};
    return prefix + std::to_string(::getpid() % 100000) + "x" + std::to_string(counter++);
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
    : end(uniqueName("tvc")), nsA(a.name()) {
    ok = veth(end, a.name(), addressA, b.name(), addressB);
}

Bridge::Bridge(const NetworkNamespace& ns, const std::string& address)
    : nsName(ns.name()), name(uniqueName("tvb")) {
    ok = run({"ip", "-n", nsName, "link", "add", name, "type", "bridge"}) &&
         run({"ip", "-n", nsName, "addr", "add", address, "dev", name}) &&
         run({"ip", "-n", nsName, "link", "set", name, "up"});
}

bool Bridge::plug(const NetworkNamespace& other, const std::string& address) {
    const std::string end = name + "p" + std::to_string(ports++);
    return veth(end, nsName, "", other.name(), address) &&
           run({"ip", "-n", nsName, "link", "set", end + "a", "master", name});
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
