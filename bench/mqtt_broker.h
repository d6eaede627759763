// A mosquitto broker of our own on a free loopback port, and an MQTT 5 client to watch and drive
// it: for the cloud link's tests and benchmark. Needs the mosquitto program (Debian: mosquitto) and,
// for TLS, openssl.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

class MqttBroker
{
public:
    ~MqttBroker();
    // Starts a broker keeping its state in dir (persistent: retained messages and sessions survive
    // a Stop and Start). With tls, a second listener speaks TLS with a certificate for 127.0.0.1
    // signed by a CA made here (CaFile()). False with *error when it does not come up.
    bool Start(const std::string& dir, bool persistent, bool tls, std::string* error);
    // Before the first Start: a user who must give this password (anonymous clients stay welcome,
    // a client naming a user must give the right password).
    void AddUser(const std::string& user, const std::string& password)
    {
        user_ = user;
        password_ = password;
    }
    // Before the first Start: bridges every topic both ways with the broker on that loopback port.
    void BridgeTo(int port) { bridgePort_ = port; }
    // Ends the broker as its service manager would (SIGTERM: it saves its state); Start again
    // brings it back on the same ports.
    void Stop();
    int Port() const { return port_; }
    int TlsPort() const { return tlsPort_; }
    std::string CaFile() const { return dir_ + "/ca.pem"; }
    std::string Url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }
    std::string TlsUrl() const { return "mqtts://127.0.0.1:" + std::to_string(tlsPort_); }
    std::string Log() const;

private:
    bool MakeCertificates(std::string* error);
    std::string dir_;
    pid_t pid_ = -1;
    int port_ = 0;
    int tlsPort_ = 0;
    bool persistent_ = false;
    bool tls_ = false;
    int bridgePort_ = 0;
    std::string user_;
    std::string password_;
};

struct MqttMessage
{
    std::string topic;
    std::string payload;
    bool retain = false;       // as the broker delivered it: true for a retained message on subscribing
    std::string timestamp;     // the "timestamp" user property, if any
    std::string type;          // the "type" user property, if any
};

class MqttClient
{
public:
    MqttClient();
    ~MqttClient();
    // Connects (MQTT 5) and keeps reconnecting on its own thread; persistent keeps the session (and
    // what the broker queues for it) across disconnections. subscription: the topic filter taken
    // at every connection ("" for none).
    bool Connect(int port, const std::string& clientId, bool persistent, const std::string& subscription,
                 std::string* error);
    void Disconnect();
    bool Publish(const std::string& topic, const std::string& payload, bool retain);
    std::vector<MqttMessage> Messages();
    void Clear();
    // Waits (real time) until the messages received satisfy the predicate.
    bool WaitFor(const std::function<bool(const std::vector<MqttMessage>&)>& pred, double seconds);
    // Every payload received on the topic, in order.
    std::vector<std::string> Payloads(const std::string& topic);

    // Called by the client's thread.
    void Received(const MqttMessage& m);

private:
    struct mosquitto* mosq_ = nullptr;
    std::string subscription_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<MqttMessage> messages_;

public:
    const std::string& Subscription() const { return subscription_; }
};
