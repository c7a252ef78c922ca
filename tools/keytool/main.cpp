// kelto-keytool: manages softcsp's key containers and its "MY" store.
// Exit status 0 on success; 1 with one line on standard error otherwise.
#include <softcsp/keystore.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>

namespace ks = softcsp::keystore;

namespace {

const char kCommands[] =
    "generate, import, list, delete, default, export-cert, store-add, store-list";

struct Failure {
  std::string message;
};

// Options of one command: which take a value, which are plain switches.
struct Options {
  std::map<std::string, std::string> values;
  std::set<std::string> switches;

  bool has(const std::string &name) const {
    return values.count(name) != 0 || switches.count(name) != 0;
  }
  std::string get(const std::string &name, const std::string &fallback = "") const {
    const auto it = values.find(name);
    return it == values.end() ? fallback : it->second;
  }
  std::string required(const std::string &name) const {
    const auto it = values.find(name);
    if (it == values.end()) throw Failure{"missing --" + name};
    return it->second;
  }
};

Options parse(int argc, char **argv, const std::set<std::string> &valued,
              const std::set<std::string> &flags) {
  Options o;
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.compare(0, 2, "--") != 0) throw Failure{"unexpected argument " + arg};
    arg.erase(0, 2);
    if (flags.count(arg) != 0) {
      o.switches.insert(arg);
    } else if (valued.count(arg) != 0) {
      if (i + 1 >= argc) throw Failure{"--" + arg + " needs a value"};
      o.values[arg] = argv[++i];
    } else {
      throw Failure{"unknown option --" + arg};
    }
  }
  return o;
}

void check(const ks::Status &s) {
  if (!s.ok()) throw Failure{s.message};
}

DWORD providerType(const Options &o) {
  DWORD type = 0;
  check(ks::providerType(o.required("provider"), type));
  return type;
}

DWORD keySpec(const Options &o) {
  const std::string spec = o.get("keyspec", "signature");
  if (spec == "signature") return AT_SIGNATURE;
  if (spec == "exchange") return AT_KEYEXCHANGE;
  throw Failure{"--keyspec must be signature or exchange"};
}

std::string readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Failure{"cannot read " + path};
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string &path, const std::string &data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out || !out.write(data.data(), static_cast<std::streamsize>(data.size())))
    throw Failure{"cannot write " + path};
}

int days(const Options &o) {
  const std::string text = o.get("days", "365");
  size_t used = 0;
  int n = 0;
  try {
    n = std::stoi(text, &used);
  } catch (const std::exception &) {
    used = 0;
  }
  if (used != text.size() || n <= 0) throw Failure{"--days must be a positive number"};
  return n;
}

void addToStore(const std::string &certDer) {
  if (certDer.empty()) throw Failure{"there is no certificate to add to MY"};
  ks::StoreEntry added;
  check(ks::storeAdd("MY", certDer, added));
}

void generate(int argc, char **argv) {
  const Options o = parse(argc, argv,
                          {"provider", "container", "keyspec", "pin", "subject", "days"},
                          {"no-cert", "store"});
  ks::CertRequest req;
  req.make = !o.has("no-cert");
  req.subject = o.get("subject");
  req.days = days(o);
  if (!req.make && o.has("store")) throw Failure{"--store needs a certificate"};
  std::string cert;
  check(ks::generate(providerType(o), o.required("container"), keySpec(o),
                     o.get("pin"), req, cert));
  if (o.has("store")) addToStore(cert);
}

void importPfx(int argc, char **argv) {
  const Options o = parse(
      argc, argv, {"provider", "container", "pfx", "pfx-password", "keyspec", "pin"},
      {"store"});
  const DWORD type = providerType(o);
  const std::string pfx = readFile(o.required("pfx"));
  std::string cert;
  check(ks::importPfx(type, o.required("container"), keySpec(o), pfx,
                      o.get("pfx-password"), o.get("pin"), cert));
  if (o.has("store")) addToStore(cert);
}

void list(int argc, char **argv) {
  const Options o = parse(argc, argv, {"provider"}, {});
  std::set<DWORD> types;
  if (o.has("provider")) {
    types.insert(providerType(o));
  } else {
    // Every type that can be served now; GOST types drop out quietly when
    // the engine is missing.
    for (const auto &p : ks::providers()) {
      DWORD type = 0;
      if (ks::providerType(p.first, type).ok()) types.insert(type);
    }
  }
  for (const DWORD type : types) {
    std::vector<ks::ContainerEntry> entries;
    check(ks::listContainers(type, entries));
    for (const ks::ContainerEntry &e : entries) {
      std::cout << type << '\t' << e.name;
      if (!e.damage.empty()) std::cout << "\tdamaged: " << e.damage;
      std::cout << '\n';
    }
  }
}

void remove(int argc, char **argv) {
  const Options o = parse(argc, argv, {"provider", "container"}, {});
  check(ks::deleteContainer(providerType(o), o.required("container")));
}

void setDefault(int argc, char **argv) {
  const Options o = parse(argc, argv, {"provider", "container"}, {});
  check(ks::setDefaultContainer(providerType(o), o.required("container")));
}

void exportCert(int argc, char **argv) {
  const Options o = parse(argc, argv, {"provider", "container", "keyspec", "out"}, {});
  const std::string out = o.required("out");
  std::string der;
  check(ks::exportCertificate(providerType(o), o.required("container"), keySpec(o), der));
  writeFile(out, der);
}

void storeAdd(int argc, char **argv) {
  const Options o = parse(argc, argv, {"cert"}, {});
  ks::StoreEntry added;
  check(ks::storeAdd("MY", readFile(o.required("cert")), added));
}

void storeList(int argc, char **argv) {
  parse(argc, argv, {}, {});
  std::vector<ks::StoreEntry> entries;
  check(ks::storeList("MY", entries));
  for (const ks::StoreEntry &e : entries) {
    if (e.damage.empty())
      std::cout << e.thumbprint << '\t' << e.subject << '\n';
    else
      std::cout << e.file << "\tdamaged: " << e.damage << '\n';
  }
}

}  // namespace

int main(int argc, char **argv) {
  const std::map<std::string, void (*)(int, char **)> commands = {
      {"generate", generate},  {"import", importPfx},
      {"list", list},          {"delete", remove},
      {"default", setDefault}, {"export-cert", exportCert},
      {"store-add", storeAdd}, {"store-list", storeList},
  };
  if (argc < 2) {
    std::cerr << "kelto-keytool: missing command (" << kCommands << ")\n";
    return 1;
  }
  const auto it = commands.find(argv[1]);
  if (it == commands.end()) {
    std::cerr << "kelto-keytool: unknown command " << argv[1] << " (" << kCommands
              << ")\n";
    return 1;
  }
  try {
    it->second(argc, argv);
  } catch (const Failure &f) {
    std::cerr << "kelto-keytool " << argv[1] << ": " << f.message << '\n';
    return 1;
  }
  std::cout.flush();
  return std::cout ? 0 : 1;
}
