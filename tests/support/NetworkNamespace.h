// A network namespace of one test's own with its loopback up, removed by name when the
// object goes: programs run in it through exec(), a thread opens sockets in it while an
// Inside lives on that thread. Needs root: available() says whether it can be made.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace testsupport {

class NetworkNamespace {
public:
    NetworkNamespace();  // throws std::runtime_error when it cannot be made
    ~NetworkNamespace();
    NetworkNamespace(const NetworkNamespace&) = delete;
    NetworkNamespace& operator=(const NetworkNamespace&) = delete;

    static bool available();

    const std::string& name() const { return nsName; }
    std::vector<std::string> exec(const std::vector<std::string>& argv) const;

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

// A veth pair with one end in each namespace, each addressed ("10.0.0.1/24") and up.
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

// A bridge in one namespace, addressed and up; plug() joins another namespace to it by
// a veth pair whose far end gets the address given. Removed with its namespace.
class Bridge {
public:
    Bridge(const NetworkNamespace& ns, const std::string& address);
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    bool plug(const NetworkNamespace& other, const std::string& address);

    bool ok = false;

private:
    std::string nsName;
    std::string name;
    unsigned ports = 0;
};

}  // namespace testsupport
