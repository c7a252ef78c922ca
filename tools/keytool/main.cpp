// kelto-keytool: manages softcsp's key containers and its "MY" store.
// Exit status 0 on success, with one line on standard output for a command
// that changes something; 1 with one line on standard error otherwise.
// `--help`, `help [COMMAND]` and `COMMAND --help` explain the commands.
#include <softcsp/keystore.h>

#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace ks = softcsp::keystore;

namespace {

struct Failure {
  std::string message;
  bool usage = false;  // the command line was wrong: point to the help
};

// Options of one command: which take a value, which are plain switches.
struct Options {
  std::map<std::string, std::string> values;
  std::set<std::string> switches;

  bool has(const std::string& name) const {
    return values.count(name) != 0 || switches.count(name) != 0;
  }
  std::string get(const std::string& name, const std::string& fallback = "") const {
    const auto it = values.find(name);
    return it == values.end() ? fallback : it->second;
  }
  std::string required(const std::string& name) const {
    const auto it = values.find(name);
    if (it == values.end()) throw Failure{"missing --" + name, true};
    return it->second;
  }
};

struct Command {
  const char* name;
  void (*run)(const Options&);
  std::set<std::string> valued;
  std::set<std::string> flags;
  const char* summary;  // one line for the list of commands
  const char* usage;    // the command's own help
};

// A PIN held only as long as needed and wiped when it goes.
struct Pin {
  std::string value;
  Pin() = default;
  Pin(const Pin&) = delete;
  Pin& operator=(const Pin&) = delete;
  ~Pin() { ks::wipePin(value); }
};

void check(const ks::Status& s) {
  if (!s.ok()) throw Failure{s.message};
}

DWORD providerType(const Options& o) {
  DWORD type = 0;
  check(ks::providerType(o.required("provider"), type));
  return type;
}

DWORD keySpec(const Options& o) {
  const std::string spec = o.get("keyspec", "signature");
  if (spec == "signature") return AT_SIGNATURE;
  if (spec == "exchange") return AT_KEYEXCHANGE;
  throw Failure{"--keyspec must be signature or exchange", true};
}

// The PIN a new key gets: --pin, asked with --ask-pin, or none. Asked only
// once the key could be stored.
void newPin(const Options& o, DWORD type, const std::string& container, DWORD spec,
            Pin& pin) {
  if (o.has("pin") && o.has("ask-pin"))
    throw Failure{"--pin and --ask-pin exclude each other", true};
  if (!o.has("ask-pin")) {
    pin.value = o.get("pin");
    return;
  }
  check(ks::canStore(type, container, spec));
  check(ks::askNewPin(container, pin.value));
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Failure{"cannot read " + path};
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out || !out.write(data.data(), static_cast<std::streamsize>(data.size())))
    throw Failure{"cannot write " + path};
}

int days(const Options& o) {
  const std::string text = o.get("days", "365");
  size_t used = 0;
  int n = 0;
  try {
    n = std::stoi(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used != text.size() || n <= 0)
    throw Failure{"--days must be a positive number", true};
  return n;
}

void addToStore(const std::string& certDer) {
  if (certDer.empty()) throw Failure{"there is no certificate to add to MY"};
  ks::StoreEntry added;
  check(ks::storeAdd("MY", certDer, added));
}

// The line that says what a new key is.
void reportKey(const char* verb, const Options& o, const std::string& container,
               bool protectedByPin, const std::string& cert) {
  std::cout << "container \"" << container << "\": " << verb << ' '
            << o.get("keyspec", "signature") << " key, "
            << (protectedByPin ? "protected by a PIN" : "without a PIN") << ", ";
  if (cert.empty())
    std::cout << "no certificate";
  else
    std::cout << "certificate " << ks::certificateSubject(cert)
              << (o.has("store") ? ", also in MY" : "");
  std::cout << '\n';
}

void generate(const Options& o) {
  ks::CertRequest req;
  req.make = !o.has("no-cert");
  req.subject = o.get("subject");
  req.days = days(o);
  if (!req.make && o.has("store")) throw Failure{"--store needs a certificate", true};
  const std::string container = o.required("container");
  const DWORD type = providerType(o);
  const DWORD spec = keySpec(o);
  Pin pin;
  newPin(o, type, container, spec, pin);
  std::string cert;
  check(ks::generate(type, container, spec, pin.value, req, cert));
  if (o.has("store")) addToStore(cert);
  reportKey("new", o, container, !pin.value.empty(), cert);
}

void importPfx(const Options& o) {
  const DWORD type = providerType(o);
  const std::string container = o.required("container");
  const DWORD spec = keySpec(o);
  const std::string pfx = readFile(o.required("pfx"));
  Pin pin;
  newPin(o, type, container, spec, pin);
  std::string cert;
  check(
      ks::importPfx(type, container, spec, pfx, o.get("pfx-password"), pin.value, cert));
  if (o.has("store")) addToStore(cert);
  reportKey("imported", o, container, !pin.value.empty(), cert);
}

// Types in use and the first registered name of each, which the key tool
// shows for them.
std::map<DWORD, std::string> typeNames() {
  std::map<DWORD, std::string> names;
  for (const auto& [name, type] : ks::providers()) names.emplace(type, name);
  return names;
}

void list(const Options& o) {
  const std::map<DWORD, std::string> names = typeNames();
  std::set<DWORD> types;
  if (o.has("provider")) {
    types.insert(providerType(o));
  } else {
    // Every type that can be served now; GOST types drop out quietly when
    // the engine is missing.
    for (const auto& p : ks::providers()) {
      DWORD type = 0;
      if (ks::providerType(p.first, type).ok()) types.insert(type);
    }
  }
  for (const DWORD type : types) {
    std::vector<ks::ContainerEntry> entries;
    check(ks::listContainers(type, entries));
    for (const ks::ContainerEntry& e : entries) {
      std::cout << type << '\t' << names.at(type) << '\t' << e.name;
      if (!e.damage.empty()) std::cout << "\tdamaged: " << e.damage;
      std::cout << '\n';
    }
  }
}

void providers(const Options&) {
  for (const auto& [name, type] : ks::providers()) {
    DWORD served = 0;
    const ks::Status s = ks::providerType(name, served);
    std::cout << type << '\t' << name;
    if (!s.ok()) std::cout << "\tunavailable: " << s.message;
    std::cout << '\n';
  }
}

void remove(const Options& o) {
  const std::string container = o.required("container");
  check(ks::deleteContainer(providerType(o), container));
  std::cout << "container \"" << container << "\" deleted\n";
}

void setDefault(const Options& o) {
  const std::string container = o.required("container");
  const DWORD type = providerType(o);
  check(ks::setDefaultContainer(type, container));
  std::cout << "container \"" << container << "\" is the default of type " << type
            << '\n';
}

void exportCert(const Options& o) {
  const std::string out = o.required("out");
  const std::string container = o.required("container");
  std::string der;
  check(ks::exportCertificate(providerType(o), container, keySpec(o), der));
  writeFile(out, der);
  std::cout << "certificate of container \"" << container << "\" written to " << out
            << '\n';
}

void storeAdd(const Options& o) {
  ks::StoreEntry added;
  check(ks::storeAdd("MY", readFile(o.required("cert")), added));
  std::cout << "in MY: " << added.thumbprint << '\t' << added.subject << '\n';
}

void storeList(const Options&) {
  std::vector<ks::StoreEntry> entries;
  check(ks::storeList("MY", entries));
  for (const ks::StoreEntry& e : entries) {
    if (e.damage.empty())
      std::cout << e.thumbprint << '\t' << e.subject << '\n';
    else
      std::cout << e.file << "\tdamaged: " << e.damage << '\n';
  }
}

const char kPinOptions[] =
    "  --pin PIN           protect the key with this PIN\n"
    "  --ask-pin           ask for the new PIN through the pinentry, twice\n"
    "                      (with neither, the key has no PIN)\n";

const std::vector<Command>& commands() {
  static const std::vector<Command> table = {
      {"generate",
       generate,
       {"provider", "container", "keyspec", "pin", "subject", "days"},
       {"no-cert", "store", "ask-pin"},
       "make a key, and a self-signed certificate, in a container",
       "kelto-keytool generate --provider NAME --container NAME [OPTIONS]\n\n"
       "Makes a new key in the container (creating the container): RSA 2048 for\n"
       "the Microsoft provider, GOST R 34.10 for the GOST providers.\n\n"
       "  --provider NAME     a provider name (see: kelto-keytool providers)\n"
       "  --container NAME    the container\n"
       "  --keyspec SPEC      signature (the default) or exchange\n"
       "%PIN%"
       "  --subject DN        the certificate's subject, \"CN=a,O=b\" or \"/CN=a/O=b\"\n"
       "                      (default: CN=<container>)\n"
       "  --days N            the certificate's validity in days (default: 365)\n"
       "  --no-cert           make no certificate\n"
       "  --store             also add the certificate to MY\n"},
      {"import",
       importPfx,
       {"provider", "container", "pfx", "pfx-password", "keyspec", "pin"},
       {"store", "ask-pin"},
       "bring a key and its certificate from a PKCS#12 (PFX) file",
       "kelto-keytool import --provider NAME --container NAME --pfx FILE [OPTIONS]\n\n"
       "Stores the file's key (and certificate) in the container, under a PIN of\n"
       "its own; the file's password protects nothing afterwards.\n\n"
       "  --provider NAME     a provider of the key's algorithm\n"
       "  --container NAME    the container\n"
       "  --pfx FILE          the PKCS#12 file\n"
       "  --pfx-password PW   its password (default: empty)\n"
       "  --keyspec SPEC      signature (the default) or exchange\n"
       "%PIN%"
       "  --store             also add the certificate to MY\n"},
      {"list",
       list,
       {"provider"},
       {},
       "list the containers: type, provider, name",
       "kelto-keytool list [--provider NAME]\n\n"
       "One line per container: its provider type, the provider name shown for\n"
       "that type, and its name, separated by tabs; \"damaged: <why>\" follows\n"
       "when its key files are damaged. Providers of one type share containers.\n"},
      {"delete",
       remove,
       {"provider", "container"},
       {},
       "delete a container and its keys",
       "kelto-keytool delete --provider NAME --container NAME\n"},
      {"default",
       setDefault,
       {"provider", "container"},
       {},
       "make a container the default of its provider type",
       "kelto-keytool default --provider NAME --container NAME\n\n"
       "A request that names no container uses the default one.\n"},
      {"export-cert",
       exportCert,
       {"provider", "container", "keyspec", "out"},
       {},
       "write the certificate of a container's key to a file",
       "kelto-keytool export-cert --provider NAME --container NAME --out FILE\n"
       "                          [--keyspec signature|exchange]\n\n"
       "Writes the certificate stored with the key, in DER.\n"},
      {"store-add",
       storeAdd,
       {"cert"},
       {},
       "add a certificate to the MY store",
       "kelto-keytool store-add --cert FILE\n\n"
       "FILE holds a certificate in DER or PEM.\n"},
      {"store-list",
       storeList,
       {},
       {},
       "list the certificates of the MY store",
       "kelto-keytool store-list\n\n"
       "One line per certificate: its SHA-1 thumbprint and subject, tab-separated.\n"},
      {"providers",
       providers,
       {},
       {},
       "list the provider names and their types",
       "kelto-keytool providers\n\n"
       "One line per provider name: its type and name, tab-separated, and why it\n"
       "is unavailable where it is (GOST providers need the OpenSSL gost engine).\n"},
  };
  return table;
}

const Command* findCommand(const std::string& name) {
  for (const Command& c : commands())
    if (name == c.name) return &c;
  return nullptr;
}

void printUsage(std::ostream& out) {
  out << "Usage: kelto-keytool COMMAND [OPTIONS]\n\n"
         "Manages the key containers and the MY certificate store that keltoDataSigned\n"
         "signs with on Linux (in $XDG_DATA_HOME/keltoDataSigned/softcsp).\n\n"
         "Commands:\n";
  for (const Command& c : commands()) {
    const std::string name = c.name;
    out << "  " << name << std::string(14 - name.size(), ' ') << c.summary << '\n';
  }
  out << "  help          this text; help COMMAND: a command's options\n\n"
         "kelto-keytool COMMAND --help explains a command; man kelto-keytool tells "
         "more.\n";
}

void printCommandUsage(const Command& c) {
  std::string text = std::string("Usage: ") + c.usage;
  const size_t at = text.find("%PIN%");
  if (at != std::string::npos) text.replace(at, 5, kPinOptions);
  std::cout << text;
}

Options parse(const Command& c, int argc, char** argv) {
  Options o;
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.compare(0, 2, "--") != 0) throw Failure{"unexpected argument " + arg, true};
    arg.erase(0, 2);
    if (c.flags.count(arg) != 0) {
      o.switches.insert(arg);
    } else if (c.valued.count(arg) != 0) {
      if (i + 1 >= argc) throw Failure{"--" + arg + " needs a value", true};
      o.values[arg] = argv[++i];
    } else {
      throw Failure{"unknown option --" + arg, true};
    }
  }
  return o;
}

bool asksForHelp(int argc, char** argv) {
  for (int i = 2; i < argc; ++i)
    if (std::string(argv[i]) == "--help" || std::string(argv[i]) == "-h") return true;
  return false;
}

int help(int argc, char** argv) {
  if (argc < 3) {
    printUsage(std::cout);
    return 0;
  }
  const Command* c = findCommand(argv[2]);
  if (c == nullptr) {
    std::cerr << "kelto-keytool: no command " << argv[2]
              << " (kelto-keytool --help lists them)\n";
    return 1;
  }
  printCommandUsage(*c);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    printUsage(std::cerr);
    return 1;
  }
  const std::string name = argv[1];
  if (name == "help" || name == "--help" || name == "-h") return help(argc, argv);
  const Command* c = findCommand(name);
  if (c == nullptr) {
    std::cerr << "kelto-keytool: unknown command " << name
              << " (kelto-keytool --help lists the commands)\n";
    return 1;
  }
  if (asksForHelp(argc, argv)) {
    printCommandUsage(*c);
    return 0;
  }
  try {
    c->run(parse(*c, argc, argv));
  } catch (const Failure& f) {
    std::cerr << "kelto-keytool " << name << ": " << f.message;
    if (f.usage) std::cerr << " (see kelto-keytool " << name << " --help)";
    std::cerr << '\n';
    return 1;
  }
  std::cout.flush();
  return std::cout ? 0 : 1;
}
