// From a command published over MQTT to the port's write: publishes N payloads to a broker on a
// Unix socket, the PAYLOADs in turns, and times each until the simulated port's trace file is
// written, seen through inotify. What it times includes the broker's hop, so the program's own
// part, from the command's arrival to the write, is at most that. Commands go at most ten a
// second, the pace the window keeps for clicks from outside. Prints the median, the 90th
// percentile and the worst, in milliseconds.
// Usage: mqtt_latency SOCKET TOPIC TRACE N PAYLOAD...
#include <mosquitto.h>

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

int main(int argc, char *argv[])
{
    if (argc < 6) {
        std::fprintf(stderr, "usage: %s SOCKET TOPIC TRACE N PAYLOAD...\n", argv[0]);
        return 2;
    }
    const char *socket = argv[1], *topic = argv[2], *trace = argv[3];
    const int n = std::atoi(argv[4]), payloads = argc - 5;
    mosquitto_lib_init();
    mosquitto *mosq = mosquitto_new(nullptr, true, nullptr);
    if (!mosq || mosquitto_connect(mosq, socket, 0, 60) != MOSQ_ERR_SUCCESS || mosquitto_loop_start(mosq) != MOSQ_ERR_SUCCESS) {
        std::fprintf(stderr, "no broker at %s\n", socket);
        return 1;
    }
    const int watch = inotify_init1(IN_CLOEXEC);
    if (watch < 0 || inotify_add_watch(watch, trace, IN_MODIFY) < 0) {
        std::fprintf(stderr, "cannot watch %s: %s\n", trace, std::strerror(errno));
        return 1;
    }
    std::vector<double> took;
    for (int i = 0; i < n; ++i) {
        const char *payload = argv[5 + i % payloads];
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        const auto start = std::chrono::steady_clock::now();
        mosquitto_publish(mosq, nullptr, topic, int(std::strlen(payload)), payload, 0, false);
        pollfd ready{watch, POLLIN, 0};
        if (poll(&ready, 1, 2000) != 1) {
            std::fprintf(stderr, "no write within 2 s of click %d\n", i + 1);
            return 1;
        }
        took.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        char events[4096];
        std::this_thread::sleep_for(std::chrono::milliseconds(50)); // the write's record complete
        if (read(watch, events, sizeof events) < 0)
            return 1;
    }
    std::sort(took.begin(), took.end());
    std::printf("MQTT %s to write, %d times: median %.2f ms, 90%% %.2f ms, worst %.2f ms\n", topic, n, took[n / 2],
                took[n * 9 / 10], took.back());
    mosquitto_disconnect(mosq);
    mosquitto_loop_stop(mosq, false);
    mosquitto_destroy(mosq);
    return 0;
}
