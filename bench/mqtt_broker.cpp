#include "mqtt_broker.h"
#include "sim_process.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace
{
bool Answers(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
    close(fd);
    return ok;
}

bool WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream f(path);
    f << text;
    return static_cast<bool>(f);
}

std::string ReadFile(const std::string& path)
{
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}
}

MqttBroker::~MqttBroker()
{
    Stop();
}

std::string MqttBroker::Log() const
{
    return ReadFile(dir_ + "/broker.log") + ReadFile(dir_ + "/broker.out");
}

bool MqttBroker::MakeCertificates(std::string* error)
{
    // A CA, and a certificate for 127.0.0.1 that it signed.
    const std::string d = "'" + dir_ + "'";
    const std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    const std::string cmd =
        "cd " + d + " && (printf 'subjectAltName=IP:127.0.0.1\\n' > san.ext && "
        "openssl req -x509" + key + " -keyout ca.key -out ca.pem -days 2 -subj '/CN=Veltrona test CA' && "
        "openssl req" + key + " -keyout server.key -out server.csr -subj '/CN=127.0.0.1' && "
        "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 "
        "-extfile san.ext) > openssl.log 2>&1";
    if (system(cmd.c_str()) != 0)
    {
        *error = "openssl could not make the test certificates: " + ReadFile(dir_ + "/openssl.log");
        return false;
    }
    return true;
}

bool MqttBroker::Start(const std::string& dir, bool persistent, bool tls, std::string* error)
{
    if (pid_ > 0)
    {
        *error = "the broker runs already";
        return false;
    }
    bool first = port_ == 0;
    dir_ = dir;
    if (first)
    {
        persistent_ = persistent;
        tls_ = tls;
        port_ = simProcess_FreePort();
        tlsPort_ = tls ? simProcess_FreePort() : 0;
        if (port_ == 0 || (tls && tlsPort_ == 0))
        {
            *error = "no free port";
            return false;
        }
        if (tls_ && !MakeCertificates(error)) return false;
        std::string conf = "user root\n"   // no change of user when run as root (the files are ours)
                           "per_listener_settings false\n"
                           "allow_anonymous true\n"
                           "max_queued_messages 1000000\n"
                           "log_dest file " + dir_ + "/broker.log\n"
                           "log_type all\n";
        conf += persistent_ ? "persistence true\npersistence_location " + dir_ + "/\n" : "persistence false\n";
        if (!user_.empty())
        {
            std::string cmd = "mosquitto_passwd -c -b '" + dir_ + "/passwd' '" + user_ + "' '" + password_ + "' > '" +
                              dir_ + "/passwd.log' 2>&1";
            if (system(cmd.c_str()) != 0)
            {
                *error = "mosquitto_passwd failed: " + ReadFile(dir_ + "/passwd.log");
                return false;
            }
            conf += "password_file " + dir_ + "/passwd\n";
        }
        if (bridgePort_ != 0)
        {
            conf += "connection bridge\naddress 127.0.0.1:" + std::to_string(bridgePort_) +
                    "\ntopic # both 1\ncleansession true\nrestart_timeout 1\n";
        }
        conf += "listener " + std::to_string(port_) + " 127.0.0.1\n";
        if (tls_)
        {
            conf += "listener " + std::to_string(tlsPort_) + " 127.0.0.1\n";
            conf += "cafile " + dir_ + "/ca.pem\ncertfile " + dir_ + "/server.pem\nkeyfile " + dir_ + "/server.key\n";
        }
        if (!WriteFile(dir_ + "/mosquitto.conf", conf))
        {
            *error = "cannot write the broker's configuration";
            return false;
        }
    }
    pid_t pid = fork();
    if (pid < 0)
    {
        *error = strerror(errno);
        return false;
    }
    if (pid == 0)
    {
        int out = open((dir_ + "/broker.out").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (out >= 0)
        {
            dup2(out, 1);
            dup2(out, 2);
        }
        std::string conf = dir_ + "/mosquitto.conf";
        execlp("mosquitto", "mosquitto", "-c", conf.c_str(), static_cast<char*>(nullptr));
        execl("/usr/sbin/mosquitto", "mosquitto", "-c", conf.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    pid_ = pid;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < until)
    {
        if (Answers(port_) && (!tls_ || Answers(tlsPort_))) return true;
        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_)
        {
            pid_ = -1;
            *error = "the broker ended at once: " + Log();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    *error = "the broker did not come up within 10 s: " + Log();
    Stop();
    return false;
}

void MqttBroker::Stop()
{
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 500; i++)
    {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_)
        {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

//--------------------------------------------------------------------------------------------------
// The client
//--------------------------------------------------------------------------------------------------
namespace
{
// A session the broker kept has its subscription still: subscribing again would bring the retained
// messages once more, as duplicates of what was received.
void OnConnect(struct mosquitto* m, void* ctx, int rc, int flags, const mosquitto_property*)
{
    auto* c = static_cast<MqttClient*>(ctx);
    bool sessionPresent = (flags & 1) != 0;
    if (rc == 0 && !sessionPresent && !c->Subscription().empty())
    {
        mosquitto_subscribe_v5(m, nullptr, c->Subscription().c_str(), 1, 0, nullptr);
    }
}

void OnMessage(struct mosquitto*, void* ctx, const struct mosquitto_message* msg, const mosquitto_property* props)
{
    MqttMessage m;
    m.topic = msg->topic;
    m.payload.assign(static_cast<const char*>(msg->payload), static_cast<size_t>(msg->payloadlen));
    m.retain = msg->retain;
    for (const mosquitto_property* p = props; p != nullptr; p = mosquitto_property_next(p))
    {
        if (mosquitto_property_identifier(p) != MQTT_PROP_USER_PROPERTY) continue;
        char* name = nullptr;
        char* value = nullptr;
        if (mosquitto_property_read_string_pair(p, MQTT_PROP_USER_PROPERTY, &name, &value, false) == nullptr) continue;
        if (strcmp(name, "timestamp") == 0) m.timestamp = value;
        if (strcmp(name, "type") == 0) m.type = value;
        free(name);
        free(value);
    }
    static_cast<MqttClient*>(ctx)->Received(m);
}
}

MqttClient::MqttClient()
{
    static std::once_flag init;
    std::call_once(init, [] { mosquitto_lib_init(); });
}

MqttClient::~MqttClient()
{
    Disconnect();
}

bool MqttClient::Connect(int port, const std::string& clientId, bool persistent, const std::string& subscription,
                         std::string* error)
{
    subscription_ = subscription;
    mosq_ = mosquitto_new(clientId.c_str(), !persistent, this);
    if (mosq_ == nullptr)
    {
        *error = "mosquitto_new failed";
        return false;
    }
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_connect_v5_callback_set(mosq_, OnConnect);
    mosquitto_message_v5_callback_set(mosq_, OnMessage);
    mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
    mosquitto_property* props = nullptr;
    if (persistent) mosquitto_property_add_int32(&props, MQTT_PROP_SESSION_EXPIRY_INTERVAL, 3600);
    int rc = mosquitto_connect_bind_v5(mosq_, "127.0.0.1", port, 30, nullptr, props);
    mosquitto_property_free_all(&props);
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_loop_start(mosq_);
    if (rc != MOSQ_ERR_SUCCESS)
    {
        *error = mosquitto_strerror(rc);
        mosquitto_destroy(mosq_);
        mosq_ = nullptr;
        return false;
    }
    return true;
}

void MqttClient::Disconnect()
{
    if (mosq_ == nullptr) return;
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
    mosquitto_destroy(mosq_);
    mosq_ = nullptr;
}

bool MqttClient::Publish(const std::string& topic, const std::string& payload, bool retain)
{
    return mosquitto_publish_v5(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1,
                                retain, nullptr) == MOSQ_ERR_SUCCESS;
}

void MqttClient::Received(const MqttMessage& m)
{
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back(m);
    changed_.notify_all();
}

std::vector<MqttMessage> MqttClient::Messages()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
}

void MqttClient::Clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.clear();
}

bool MqttClient::WaitFor(const std::function<bool(const std::vector<MqttMessage>&)>& pred, double seconds)
{
    std::unique_lock<std::mutex> lock(mutex_);
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<long>(seconds * 1000));
    while (!pred(messages_))
    {
        if (changed_.wait_until(lock, until) == std::cv_status::timeout) return pred(messages_);
    }
    return true;
}

std::vector<std::string> MqttClient::Payloads(const std::string& topic)
{
    std::vector<std::string> out;
    for (const MqttMessage& m : Messages())
    {
        if (m.topic == topic) out.push_back(m.payload);
    }
    return out;
}
