// A network namespace of one test's own, with only its loopback (up): programs run
// in it through exec(), and a thread of the test opens sockets in it while an
// Inside object lives on that thread. Made with `ip netns add` and removed, by its
// name, when the object goes. Needs root; available() says whether it can be made.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace testsupport {

class NetworkNamespace {
public:
    // Throws std::runtime_error when the namespace cannot be made.
    NetworkNamespace();
    ~NetworkNamespace();
    NetworkNamespace(const NetworkNamespace&) = delete;
    NetworkNamespace& operator=(const NetworkNamespace&) = delete;

    // Whether this process may make namespaces (it runs as root and has `ip`).
    static bool available();

    const std::string& name() const { return nsName; }
    // `argv` run inside the namespace ("ip netns exec <name>" in front).
    std::vector<std::string> exec(const std::vector<std::string>& argv) const;

    // Moves the calling thread into the namespace until destroyed, on the same thread.
    class Inside {
    public:
        explicit Inside(const NetworkNamespace& ns);
        ~Inside();
        Inside(const Inside&) = delete;
        Inside& operator=(const Inside&) = delete;

    private:
        int original = -1;
    };

private:
    std::string nsName;
};

// A virtual cable (veth pair) with one end in each namespace, each end addressed
// ("10.0.0.1/24") and up. Removed with its first namespace's end; deleting either
// namespace removes it too.
class Cable {
public:
    Cable(const NetworkNamespace& a, const std::string& addressA, const NetworkNamespace& b,
          const std::string& addressB);
    ~Cable();
    Cable(const Cable&) = delete;
    Cable& operator=(const Cable&) = delete;

    bool ok = false;  // every step of the set-up succeeded

private:
    std::string end;
    std::string nsA;
};

// A bridge (a switch) in one namespace, addressed ("10.0.0.100/24") and up; plug()
// joins another namespace to it by a cable whose far end gets the address given, as
// machines on one network. Removed with its namespace.
class Bridge {
public:
    Bridge(const NetworkNamespace& ns, const std::string& address);
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    // False when a step of the set-up failed.
    bool plug(const NetworkNamespace& other, const std::string& address);

    bool ok = false;

private:
    std::string nsName;
    std::string name;
    unsigned ports = 0;
};

}  // namespace testsupport
