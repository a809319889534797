// Downloading a 200 MB model folder from a hub on 127.0.0.1 (engine: listing,
// every file, and the check that each model loads), against libcurl's easy
// interface fetching the same files in this process over one kept-alive
// connection, in the same run. Counter "ratio" = engine / libcurl in-process;
// the aim is within 1.2. "curl_tool_s" is the curl program fetching the same
// files as a whole process, shown beside it: the engine's apparent lead over
// the tool is the tool's process start-up, not transfer speed. Both libcurl
// clients read with the 1 MiB receive buffer the engine's client sets.
#include <voxtrellis/DownloadUtils.h>

#include "BenchSupport.h"

#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <sys/types.h>

namespace {

namespace fs = std::filesystem;

const char* kRepo = "Quillbrookline/parakeet-tdt-0.6b-v3-onnx";
const std::vector<std::string> kFiles = {"Preprocessor.mlmodelc/model.onnx", "Encoder.mlmodelc/model.onnx",
                                         "Decoder.mlmodelc/model.onnx", "JointDecision.mlmodelc/model.onnx",
                                         "parakeet_vocab.json"};

// A minimal hub: tree listings from a folder and file downloads, HTTP/1.1 with keep-alive.
const char* kServer = R"PY(
import http.server, json, os, shutil, sys, urllib.parse
root, repo = sys.argv[1], sys.argv[2]
class Hub(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # Headers and body leave in one write without Nagle delays, as a real hub's would.
    disable_nagle_algorithm = True
    wbufsize = 1 << 20
    def log_message(self, *args):
        pass
    def send_body(self, body, kind):
        self.send_response(200)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
    def do_GET(self):
        path = urllib.parse.unquote(self.path)
        listing = "/api/models/%s/tree/main" % repo
        resolve = "/%s/resolve/main/" % repo
        if path.startswith(listing):
            sub = path[len(listing):].strip("/")
            folder = os.path.join(root, sub)
            entries = [{"type": "directory" if os.path.isdir(os.path.join(folder, n)) else "file",
                        "path": (sub + "/" + n) if sub else n} for n in sorted(os.listdir(folder))]
            self.send_body(json.dumps(entries).encode(), "application/json")
        elif path.startswith(resolve):
            name = os.path.join(root, path[len(resolve):])
            self.send_response(200)
            self.send_header("Content-Length", str(os.path.getsize(name)))
            self.end_headers()
            with open(name, "rb") as f:
                shutil.copyfileobj(f, self.wfile, 1 << 20)
        else:
            self.send_response(404)
            self.send_header("Content-Length", "0")
            self.end_headers()
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Hub)
print(os.getpid(), server.server_address[1], flush=True)
server.serve_forever()
)PY";

fs::path hubFolder() {
  const fs::path root = bench::benchFolder() / "hub";
  std::mt19937_64 random(42);
  for (const auto& name : kFiles) {
    const fs::path file = root / name;
    const std::uintmax_t size = name.ends_with(".json") ? 4096 : 50u << 20;
    if (fs::exists(file) && fs::file_size(file) == size) continue;
    fs::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary);
    std::vector<uint64_t> block(1 << 16);
    for (std::uintmax_t written = 0; written < size; written += block.size() * 8) {
      for (auto& v : block) v = random();
      out.write(reinterpret_cast<const char*>(block.data()),
                static_cast<std::streamsize>(std::min<std::uintmax_t>(block.size() * 8, size - written)));
    }
  }
  return root;
}

struct Hub {
  pid_t pid = 0;
  int port = 0;
  FILE* pipe = nullptr;
  Hub() {
    const fs::path script = bench::benchFolder() / "hub.py";
    std::ofstream(script) << kServer;
    const std::string command = "/usr/bin/python3 '" + script.string() + "' '" + hubFolder().string() + "' " + kRepo;
    pipe = popen(command.c_str(), "r");
    if (pipe && std::fscanf(pipe, "%d %d", &pid, &port) != 2) port = 0;
    // The pipe stays open for the server's lifetime; it ends when we kill it.
  }
  ~Hub() {
    if (pid > 0) kill(pid, SIGTERM);
    if (pipe) pclose(pipe);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port); }
};

// Bytes of the regular files under `folder`.
std::uintmax_t folderBytes(const fs::path& folder) {
  std::uintmax_t total = 0;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file()) total += entry.file_size();
  }
  return total;
}

// The files through libcurl's easy interface, one handle for all of them.
// Returns false on any failure.
bool fetchWithLibcurl(const std::string& base, const fs::path& out) {
  CURL* curl = curl_easy_init();
  if (!curl) return false;
  bool ok = true;
  for (const auto& name : kFiles) {
    const fs::path target = out / name;
    fs::create_directories(target.parent_path());
    FILE* file = std::fopen(target.c_str(), "wb");
    if (!file) {
      ok = false;
      break;
    }
    const std::string url = base + "/" + kRepo + "/resolve/main/" + name;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, file);
    // The receive buffer the engine's client uses: with libcurl's default of 16 KiB the
    // peer makes 64 times as many reads and writes, a handicap of settings, not of code.
    curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, 1024L * 1024L);
    ok = curl_easy_perform(curl) == CURLE_OK;
    std::fclose(file);
    if (!ok) break;
  }
  curl_easy_cleanup(curl);
  return ok;
}

void BM_DownloadModelFolderVersusCurl(benchmark::State& state) {
  Hub hub;
  if (hub.port <= 0) {
    state.SkipWithError("cannot start the loopback hub");
    return;
  }
  setenv("REGISTRY_URL", hub.url().c_str(), 1);
  const fs::path models = bench::benchFolder() / "models";
  const fs::path curlOut = bench::benchFolder() / "curl-out";
  const std::uintmax_t hubBytes = folderBytes(hubFolder());
  double engineTotal = 0, libcurlTotal = 0, curlTotal = 0;
  for (auto _ : state) {
    fs::remove_all(models);
    auto started = std::chrono::steady_clock::now();
    voxtrellis::DownloadUtils::loadModels(voxtrellis::Repo::parakeet, {}, models, voxtrellis::ComputeUnits::cpuOnly);
    const double engine = bench::seconds(started);
    // Every client must have fetched every byte, or its time means nothing.
    if (folderBytes(models) < hubBytes) {
      state.SkipWithError("the engine did not fetch every file");
      return;
    }

    fs::remove_all(curlOut);
    started = std::chrono::steady_clock::now();
    if (!fetchWithLibcurl(hub.url(), curlOut)) {
      state.SkipWithError("libcurl failed");
      return;
    }
    libcurlTotal += bench::seconds(started);
    if (folderBytes(curlOut) != hubBytes) {
      state.SkipWithError("libcurl did not fetch every file");
      return;
    }

    fs::remove_all(curlOut);
    std::string command = "curl -s --fail --create-dirs";
    for (const auto& name : kFiles) {
      command += " -o '" + (curlOut / name).string() + "' '" + hub.url() + "/" + kRepo + "/resolve/main/" + name + "'";
    }
    started = std::chrono::steady_clock::now();
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("curl failed");
      return;
    }
    const double tool = bench::seconds(started);
    if (folderBytes(curlOut) != hubBytes) {
      state.SkipWithError("the curl program did not fetch every file");
      return;
    }
    state.SetIterationTime(engine);
    engineTotal += engine;
    curlTotal += tool;
  }
  fs::remove_all(models);
  fs::remove_all(curlOut);
  state.counters["engine_s"] = engineTotal / static_cast<double>(state.iterations());
  state.counters["libcurl_s"] = libcurlTotal / static_cast<double>(state.iterations());
  state.counters["curl_tool_s"] = curlTotal / static_cast<double>(state.iterations());
  state.counters["ratio"] = engineTotal / libcurlTotal;
}

BENCHMARK(BM_DownloadModelFolderVersusCurl)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
