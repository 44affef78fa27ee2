// Times the local manifest at two sizes: load_file of a manifest of N entries, a find_entry of every
// name, and save_file, each the median of several rounds; prints the times and the ratio between the
// sizes (about 2 when nothing is quadratic):
//   local_manifest_bench <directory> [small size] [large size] [rounds]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/debug_log.h"
#include "updater/file_manifest.h"

namespace {

struct timings {
    double load = 0;
    double find = 0;
    double save = 0;
};

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string name_of(int i) {
    return "client/build-" + std::to_string(i) + "/varnholt_client_" + std::to_string(i * 7919 % 100003);
}

// A manifest file of `count` entries with 40-digit hashes, as the updater writes it.
void write_manifest(const std::string& path, int count) {
    tal_file_manifest manifest;
    for (int i = 0; i < count; ++i) {
        char hash[48];
        snprintf(hash, sizeof hash, "%040x", static_cast<unsigned>(i) * 2654435761u);
        manifest_entry entry(name_of(i).c_str(), hash, i);
        manifest.add_or_update(entry);
    }
    if (!manifest.save_file(path.c_str())) {
        fprintf(stderr, "cannot write %s\n", path.c_str());
        exit(1);
    }
}

timings measure(const std::string& directory, int count, int rounds) {
    const std::string source = directory + "/manifest-" + std::to_string(count) + ".lst";
    const std::string copy = directory + "/saved-" + std::to_string(count) + ".lst";
    write_manifest(source, count);
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) {
        names.push_back(name_of(i));
    }
    std::vector<double> load, find, save;
    for (int round = 0; round < rounds; ++round) {
        tal_file_manifest manifest;
        auto start = std::chrono::steady_clock::now();
        int loaded = manifest.load_file(source.c_str());
        load.push_back(seconds_since(start));
        if (loaded != count) {
            fprintf(stderr, "loaded %d of %d entries\n", loaded, count);
            exit(1);
        }
        start = std::chrono::steady_clock::now();
        int found = 0;
        for (const std::string& name : names) {
            found += manifest.find_entry(name.c_str()) != nullptr;
        }
        find.push_back(seconds_since(start));
        if (found != count) {
            fprintf(stderr, "found %d of %d entries\n", found, count);
            exit(1);
        }
        start = std::chrono::steady_clock::now();
        if (!manifest.save_file(copy.c_str())) {
            fprintf(stderr, "cannot save %s\n", copy.c_str());
            exit(1);
        }
        save.push_back(seconds_since(start));
    }
    return {median(load), median(find), median(save)};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s <directory> [small size] [large size] [rounds]\n", argv[0]);
        return 2;
    }
    const std::string directory = argv[1];
    const int small = argc > 2 ? atoi(argv[2]) : 100000;
    const int large = argc > 3 ? atoi(argv[3]) : 200000;
    const int rounds = argc > 4 ? atoi(argv[4]) : 5;
    debug_log_level = 0;  // the short-hash report of save_file is not what is measured

    timings a = measure(directory, small, rounds);
    timings b = measure(directory, large, rounds);
    printf("local manifest, median of %d rounds\n", rounds);
    printf("%-10s %12s %12s %8s\n", "operation", std::to_string(small).c_str(), std::to_string(large).c_str(),
           "ratio");
    printf("%-10s %10.4f s %10.4f s %8.2f\n", "load_file", a.load, b.load, b.load / a.load);
    printf("%-10s %10.4f s %10.4f s %8.2f\n", "find_entry", a.find, b.find, b.find / a.find);
    printf("%-10s %10.4f s %10.4f s %8.2f\n", "save_file", a.save, b.save, b.save / a.save);
    double total_a = a.load + a.find + a.save;
    double total_b = b.load + b.find + b.save;
    printf("%-10s %10.4f s %10.4f s %8.2f\n", "all", total_a, total_b, total_b / total_a);
    return 0;
}
