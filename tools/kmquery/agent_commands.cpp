#include "agent_commands.h"

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <CLI/CLI.hpp>
#include <condition_variable>
#include <csignal>
#include <ctime>
#include <fstream>
#include <memory>
#include <mutex>

#include "cli_options.h"
#include "json_writer.h"
#include "kmbase/kmcp.h"
#include "kmbase/message.h"
#include "kmbase/struct_array.h"
#include "kmbase/table.h"
#include "kmbase/text.h"
#include "kmsrv/interfaces.h"
#include "kmsrv/net_tables.h"
#include "kmsrv/protocol.h"
#include "progress.h"
#include "record_output.h"
#include "text_table.h"

namespace kmquery {

namespace {

// Characters of one parameter value: far more than any agent value, and
// small enough to keep on the stack of no one (it is a vector).
constexpr uint32_t kValueChars = 65536;

std::u16string Wide(const std::string &utf8) { return KmUtf8ToWide(utf8); }
std::string Utf8(const char16_t *text) { return text != nullptr ? KmWideToUtf8(text) : ""; }

// Service types of check-service by name; any number is taken as it is.
const Choices<int32_t> kServiceTypes = {{"echo", 0}, {"ssh", 1}, {"pop3", 2},
                                        {"smtp", 3}, {"ftp", 4}, {"http", 5}};

// A service type by name (any case) or number.
bool ParseServiceType(const std::string &text, int32_t *type) {
  for (const auto &c : kServiceTypes) {
    if (strcasecmp(c.first.c_str(), text.c_str()) == 0) {
      *type = c.second;
      return true;
    }
  }
  int32_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return false;
  *type = value;
  return true;
}

// Set by SIGINT and SIGTERM while `traps` waits.
std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void OnInterrupt(int) { g_interrupted = true; }

}  // namespace

AgentCommand::AgentCommand(CLI::App &root) {
  command_ = root.add_subcommand("agent", "Talk to a monitoring agent");
  command_->add_option("HOST", options_.host, "Agent's address or host name")->required();
  command_->require_subcommand(1);
  command_->fallthrough();
  AddAgentConnectionOptions(command_, &options_);

  addCommand("nop", "Connect, log in and test that the agent answers",
             [this](CliAgentConnection &c, const Output &o) { return nop(c, o); });

  addCommand("get", "Read parameters", [this](CliAgentConnection &c, const Output &o) {
    return get(c, o);
  })->add_option("PARAM", names_, "Parameter names, like System.Hostname")->required();

  addCommand("list", "Read a list", [this](CliAgentConnection &c, const Output &o) {
    return list(c, o);
  })->add_option("NAME", name_, "List name, like Net.InterfaceList")->required();

  addCommand("table", "Read a table", [this](CliAgentConnection &c, const Output &o) {
    return table(c, o);
  })->add_option("NAME", name_, "Table name")->required();

  CLI::App *act = addCommand("action", "Run an action the agent offers",
                             [this](CliAgentConnection &c, const Output &o) { return action(c, o); });
  act->add_option("NAME", name_, "Action name")->required();
  act->add_option("ARG", args_, "Arguments of the action (put -- before ones that start with -)");

  CLI::App *check =
      addCommand("check-service", "Have the agent check a network service",
                 [this](CliAgentConnection &c, const Output &o) { return checkService(c, o); });
  check->add_option("ADDRESS", serviceAddress_, "Address of the service (as the agent sees it)")
      ->required();
  check
      ->add_option_function<std::string>(
          "-t,--type", [this](const std::string &v) { ParseServiceType(v, &serviceType_); },
          "Service type: echo|ssh|pop3|smtp|ftp|http or its number (default echo); "
          "picks the port when --port is not given")
      ->check(CLI::Validator(
          [](std::string &v) -> std::string {
            int32_t type;
            return ParseServiceType(v, &type) ? std::string() : "\"" + v + "\" is not a service type";
          },
          "TYPE"))
      ->option_text("TYPE");
  check->add_option("--port", servicePort_, "TCP port (default: the service type's)")
      ->check(CLI::Range(1, 65535))
      ->option_text("PORT");
  check->add_option("--protocol", serviceProtocol_, "IP protocol number (default 6, TCP)")
      ->check(CLI::Range(1, 255))
      ->option_text("N");
  check->add_option("--request", serviceRequest_, "Text to send once connected");
  check->add_option("--response", serviceResponse_, "Text the answer must begin with");

  addCommand("params", "List the parameters and tables the agent supports",
             [this](CliAgentConnection &c, const Output &o) { return params(c, o); });
  addCommand("interfaces", "The agent host's interfaces and addresses",
             [this](CliAgentConnection &c, const Output &o) { return interfaces(c, o); });
  addCommand("arp", "The agent host's ARP cache",
             [this](CliAgentConnection &c, const Output &o) { return arp(c, o); });
  addCommand("routes", "The agent host's IP routing table",
             [this](CliAgentConnection &c, const Output &o) { return routes(c, o); })
      ->add_flag("--sort", sortRoutes_, "Most specific routes first (the default route last)");

  CLI::App *up = addCommand("upload", "Send a local file to the agent",
                            [this](CliAgentConnection &c, const Output &o) { return upload(c, o); });
  up->add_option("FILE", localFile_, "Local file")->required()->check(CLI::ExistingFile);
  up->add_option("DEST", remoteFile_, "Name on the agent (default: the file's own name)");

  CLI::App *down =
      addCommand("download", "Fetch a file from the agent's file area",
                 [this](CliAgentConnection &c, const Output &o) { return download(c, o); });
  down->add_option("REMOTE", remoteFile_, "Name of the file on the agent")->required();
  down->add_option("LOCAL", localFile_, "Local file to write")->required();
  down->add_flag("--append", append_,
                 "Append to LOCAL, which must exist (a failed download leaves it as it was)");
  down->add_option("--max-bytes", options_.downloadLimit,
                   "Refuse a download larger than BYTES (default 1073741824)")
      ->check(CLI::Range(uint64_t{1}, uint64_t{1} << 50))
      ->option_text("BYTES");

  CLI::App *trap = addCommand("traps", "Ask for traps and print them as they come",
                              [this](CliAgentConnection &c, const Output &o) { return traps(c, o); });
  trap->add_option("--count", trapCount_, "Stop after N traps (default: until interrupted)")
      ->check(CLI::Range(1u, 1000000000u))
      ->option_text("N");
  trap->add_option("--duration", trapDurationMs_, "Stop after MS milliseconds")
      ->check(CLI::Range(1u, 86400000u))
      ->option_text("MS");

  CLI::App *config = command_->add_subcommand("config", "Read or replace the agent's configuration file");
  config->require_subcommand(1);
  config->fallthrough();
  addCommand(config, "get", "Print the agent's configuration file, or write it to FILE",
             [this](CliAgentConnection &c, const Output &o) { return configGet(c, o); })
      ->add_option("FILE", configFile_, "Local file to write (default: standard output)");
  addCommand(config, "set", "Replace the agent's configuration file with the text of FILE",
             [this](CliAgentConnection &c, const Output &o) { return configSet(c, o); })
      ->add_option("FILE", configFile_, "Local text file (UTF-8)")
      ->required()
      ->check(CLI::ExistingFile);

  addCommand("upgrade", "Have the agent upgrade itself from a package it holds (send it with upload)",
             [this](CliAgentConnection &c, const Output &o) { return upgrade(c, o); })
      ->add_option("PACKAGE", package_, "Package name, or a local path whose last component names it")
      ->required();
  addCommand("policies", "List the policies installed on the agent",
             [this](CliAgentConnection &c, const Output &o) { return policies(c, o); });
  addCommand("uninstall-policy", "Remove a policy from the agent",
             [this](CliAgentConnection &c, const Output &o) { return uninstallPolicy(c, o); })
      ->add_option("GUID", guid_, "The policy's GUID, as `policies` shows it")
      ->required()
      ->check(CLI::Validator(
          [](std::string &v) -> std::string {
            uint8_t guid[AGENT_POLICY_GUID_SIZE];
            return KmGuidFromText(v, guid, true)
                       ? std::string()
                       : "\"" + v + "\" is not a GUID (xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx)";
          },
          "GUID"));
}

CLI::App *AgentCommand::addCommand(const std::string &name, const std::string &help,
                                   Action action) {
  return addCommand(command_, name, help, std::move(action));
}

CLI::App *AgentCommand::addCommand(CLI::App *parent, const std::string &name,
                                   const std::string &help, Action action) {
  CLI::App *sub = parent->add_subcommand(name, help);
  sub->fallthrough();
  sub->preparse_callback([this, action = std::move(action)](size_t) { action_ = action; });
  return sub;
}

bool AgentCommand::selected() const { return command_->parsed(); }

int AgentCommand::run(const Output &out, int32_t debugLevel) {
  options_.debugLevel = debugLevel;
  int status = kExitOk;
  std::unique_ptr<CliAgentConnection> conn = ConnectAgent(options_, out, &status);
  if (!conn) return status;
  status = action_(*conn, out);
  conn->disconnectAndWait();
  return status;
}

int AgentCommand::failRequest(const Output &out, const std::string &what, uint32_t rcc) const {
  return out.failCode(AgentRequestExitStatus(rcc), what + " on agent " + AgentLabel(options_),
                      "agent", rcc, AgentErrorCodeToText(static_cast<int32_t>(rcc)));
}

namespace {

// "result": {"code": 0, "text": "Success"} of a request that needs no more.
void WriteSuccess(JsonWriter &w) {
  w.key("result").beginObject().key("code").value(0u).key("text").value("Success").endObject();
}

}  // namespace

int AgentCommand::report(const Output &out, const std::function<void(JsonWriter &)> &json,
                         const std::function<std::string()> &text) const {
  if (out.json()) {
    JsonWriter w;
    w.beginObject().key("agent").value(options_.host);
    json(w);
    w.endObject();
    out.printJson(w.text());
  } else {
    out.print(text());
  }
  return kExitOk;
}

int AgentCommand::nop(CliAgentConnection &conn, const Output &out) {
  const uint32_t rcc = conn.nop();
  if (rcc != 0) return failRequest(out, "nop", rcc);
  // "encrypted" tells whether the agent's traffic is protected on its way:
  // by the session's own encryption, or by TLS straight to the agent.
  const std::string tls = conn.tlsDescription();
  const bool encrypted = conn.isEncrypted() || (!tls.empty() && options_.proxy.empty());
  return report(
      out,
      [&](JsonWriter &w) {
        w.key("port").value(static_cast<uint32_t>(options_.port));
        if (!options_.proxy.empty()) w.key("proxy").value(options_.proxy);
        w.key("protocolVersion").value(conn.getProtocolVersion());
        w.key("encrypted").value(encrypted);
        if (!tls.empty()) w.key("tls").value(tls);
        w.key("result").beginObject().key("code").value(rcc).key("text").value(
            std::u16string(AgentErrorCodeToText(0)));
        w.endObject();
      },
      [&] {
        return "agent " + AgentLabel(options_) + " answers: protocol version " +
               std::to_string(conn.getProtocolVersion()) + ", session " +
               AgentProtection(conn, options_) + "\n";
      });
}

int AgentCommand::get(CliAgentConnection &conn, const Output &out) {
  int status = kExitOk;
  std::vector<char16_t> value(kValueChars);
  ValueReport report("agent", options_.host, "name", "PARAMETER");
  for (const std::string &name : names_) {
    value[0] = 0;
    const uint32_t rcc = conn.getParameter(Wide(name).c_str(), kValueChars, value.data());
    if (rcc == 0) {
      report.value(name, Utf8(value.data()));
      continue;
    }
    status = AgentRequestExitStatus(rcc);
    // A session that is gone fails every further name the same way.
    if (status == kExitConnection) return failRequest(out, "get " + name, rcc);
    report.error(name, "get " + name + " on agent " + AgentLabel(options_), rcc,
                 Utf8(AgentErrorCodeToText(static_cast<int32_t>(rcc))));
  }
  return report.print(out, status);
}

int AgentCommand::list(CliAgentConnection &conn, const Output &out) {
  const uint32_t rcc = conn.getList(Wide(name_).c_str());
  if (rcc != 0) return failRequest(out, "list " + name_, rcc);
  const uint32_t count = conn.getNumDataLines();
  return report(
      out,
      [&](JsonWriter &w) {
        w.key("list").value(name_).key("lines").beginArray();
        for (uint32_t i = 0; i < count; i++) w.value(Utf8(conn.getDataLine(i)));
        w.endArray();
      },
      [&] {
        std::string text;
        for (uint32_t i = 0; i < count; i++)
          text += TextTable::sanitize(Utf8(conn.getDataLine(i))) + "\n";
        return text;
      });
}

int AgentCommand::table(CliAgentConnection &conn, const Output &out) {
  Table *raw = nullptr;
  const uint32_t rcc = conn.getTable(Wide(name_).c_str(), &raw);
  std::unique_ptr<Table> result(raw);
  if (rcc != 0) return failRequest(out, "table " + name_, rcc);
  const int columns = result->getNumColumns();
  const int rows = result->getNumRows();
  if (out.json()) {
    JsonWriter w;
    w.beginObject().key("agent").value(options_.host).key("table").value(name_);
    w.key("title").value(Utf8(result->getTitle())).key("columns").beginArray();
    for (int c = 0; c < columns; c++) {
      w.beginObject().key("name").value(Utf8(result->getColumnName(c)));
      w.key("dataType").value(result->getColumnDataType(c)).endObject();
    }
    w.endArray().key("rows").beginArray();
    for (int r = 0; r < rows; r++) {
      w.beginArray();
      for (int c = 0; c < columns; c++) w.value(Utf8(result->getAsString(r, c)));
      w.endArray();
    }
    w.endArray().endObject();
    out.printJson(w.text());
    return kExitOk;
  }
  std::vector<std::string> headers;
  for (int c = 0; c < columns; c++) headers.push_back(Utf8(result->getColumnName(c)));
  TextTable text(headers);
  for (int c = 0; c < columns; c++) {
    // Numeric column types (signed and unsigned 32/64-bit, floating point)
    // read better right-aligned.
    const int32_t type = result->getColumnDataType(c);
    if (type >= 0 && type <= 5 && type != 4) text.alignRight(static_cast<size_t>(c));
  }
  for (int r = 0; r < rows; r++) {
    std::vector<std::string> cells;
    for (int c = 0; c < columns; c++) cells.push_back(Utf8(result->getAsString(r, c)));
    text.addRow(std::move(cells));
  }
  out.print(text.render());
  return kExitOk;
}

int AgentCommand::action(CliAgentConnection &conn, const Output &out) {
  std::vector<std::u16string> wide;
  for (const std::string &a : args_) wide.push_back(Wide(a));
  std::vector<char16_t *> argv;
  for (std::u16string &a : wide) argv.push_back(a.data());
  const uint32_t rcc = conn.execAction(Wide(name_).c_str(), static_cast<int32_t>(argv.size()),
                                       argv.empty() ? nullptr : argv.data());
  if (rcc != 0) return failRequest(out, "action " + name_, rcc);
  return report(
      out,
      [&](JsonWriter &w) {
        w.key("action").value(name_);
        WriteSuccess(w);
      },
      [&] { return "action " + name_ + " ran on agent " + AgentLabel(options_) + "\n"; });
}

int AgentCommand::checkService(CliAgentConnection &conn, const Output &out) {
  std::string error;
  uint32_t address = 0;
  if (!ResolveIpv4(serviceAddress_, &address, &error)) return out.fail(kExitUsage, error);
  uint32_t serviceStatus = 0;
  const uint32_t rcc = conn.checkNetworkService(
      &serviceStatus, ntohl(address), serviceType_, servicePort_, serviceProtocol_,
      Wide(serviceRequest_).c_str(), Wide(serviceResponse_).c_str());
  if (rcc != 0) return failRequest(out, "check-service " + serviceAddress_, rcc);
  // The reference agent's statuses; other agents may use their own numbers.
  const char *meaning = serviceStatus == 0   ? "service answers"
                        : serviceStatus == 1 ? "cannot connect"
                        : serviceStatus == 2 ? "connected, but the response was wrong or missing"
                                             : "";
  return report(
      out,
      [&](JsonWriter &w) {
        w.key("address").value(serviceAddress_).key("type").value(serviceType_);
        w.key("status").value(serviceStatus);
      },
      [&] {
        return "service check of " + serviceAddress_ + ": status " + std::to_string(serviceStatus) +
               (*meaning != 0 ? std::string(" (") + meaning + ")" : std::string()) + "\n";
      });
}

int AgentCommand::params(CliAgentConnection &conn, const Output &out) {
  StructArray<KMC_AGENT_PARAM> *rawParams = nullptr;
  StructArray<KMC_AGENT_TABLE> *rawTables = nullptr;
  const uint32_t rcc = conn.getSupportedParameters(&rawParams, &rawTables);
  std::unique_ptr<StructArray<KMC_AGENT_PARAM>> parameters(rawParams);
  std::unique_ptr<StructArray<KMC_AGENT_TABLE>> tables(rawTables);
  if (rcc != 0) return failRequest(out, "params", rcc);
  if (out.json()) {
    JsonWriter w;
    w.beginObject().key("agent").value(options_.host).key("parameters").beginArray();
    for (uint32_t i = 0; i < parameters->size(); i++) {
      const KMC_AGENT_PARAM &p = (*parameters)[i];
      w.beginObject().key("name").value(Utf8(p.name)).key("dataType").value(p.dataType);
      w.key("description").value(Utf8(p.description)).endObject();
    }
    w.endArray().key("tables").beginArray();
    for (uint32_t i = 0; i < tables->size(); i++) {
      const KMC_AGENT_TABLE &t = (*tables)[i];
      w.beginObject().key("name").value(Utf8(t.name)).key("auxInfo").value(Utf8(t.auxInfo));
      w.key("description").value(Utf8(t.description)).endObject();
    }
    w.endArray().endObject();
    out.printJson(w.text());
    return kExitOk;
  }
  TextTable p({"PARAMETER", "TYPE", "DESCRIPTION"});
  p.alignRight(1);
  for (uint32_t i = 0; i < parameters->size(); i++) {
    const KMC_AGENT_PARAM &r = (*parameters)[i];
    p.addRow({Utf8(r.name), std::to_string(r.dataType), Utf8(r.description)});
  }
  TextTable t({"TABLE", "KEY", "DESCRIPTION"});
  for (uint32_t i = 0; i < tables->size(); i++) {
    const KMC_AGENT_TABLE &r = (*tables)[i];
    t.addRow({Utf8(r.name), Utf8(r.auxInfo), Utf8(r.description)});
  }
  out.print(p.render() + "\n" + t.render());
  return kExitOk;
}

namespace {

// The code behind a network table request that returned nothing: the
// library returns only null, so the list is asked for once more to learn
// why (or the session is found gone).
uint32_t WhyNoTable(CliAgentConnection &conn, const char16_t *listName) {
  if (!conn.isConnected()) return RCC_CONNECTION_BROKEN;
  const uint32_t rcc = conn.getList(listName);
  return rcc != 0 ? rcc : RCC_BAD_RESPONSE;
}

}  // namespace

int AgentCommand::interfaces(CliAgentConnection &conn, const Output &out) {
  std::unique_ptr<InterfaceList> list(conn.getInterfaceList());
  if (!list) return failRequest(out, "interfaces", WhyNoTable(conn, u"Net.InterfaceList"));
  return report(
      out,
      [&](JsonWriter &w) {
        w.key("interfaces");
        WriteInterfaces(w, *list);
      },
      [&] { return InterfaceTable(*list).render(); });
}

int AgentCommand::arp(CliAgentConnection &conn, const Output &out) {
  ARP_CACHE *cache = conn.getArpCache();
  if (cache == nullptr) return failRequest(out, "arp", WhyNoTable(conn, u"Net.ArpCache"));
  report(
      out,
      [&](JsonWriter &w) {
        w.key("arp");
        WriteArpCache(w, *cache);
      },
      [&] { return ArpTable(*cache).render(); });
  DestroyArpCache(cache);
  return kExitOk;
}

int AgentCommand::routes(CliAgentConnection &conn, const Output &out) {
  ROUTING_TABLE *table = conn.getRoutingTable();
  if (table == nullptr)
    return failRequest(out, "routes", WhyNoTable(conn, u"Net.IP.RoutingTable"));
  if (sortRoutes_) SortRoutingTable(table);
  report(
      out,
      [&](JsonWriter &w) {
        w.key("routes");
        WriteRoutes(w, *table);
      },
      [&] { return RouteTable(*table).render(); });
  DestroyRoutingTable(table);
  return kExitOk;
}

int AgentCommand::upload(CliAgentConnection &conn, const Output &out) {
  struct stat st {};
  if (::stat(localFile_.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    return out.fail(kExitUsage, localFile_ + " is not a readable regular file");
  ProgressBar bar("upload " + localFile_, static_cast<uint64_t>(st.st_size),
                  isatty(STDERR_FILENO) != 0);
  const std::u16string dest = Wide(remoteFile_);
  const uint32_t rcc = conn.uploadFile(
      Wide(localFile_).c_str(), remoteFile_.empty() ? nullptr : dest.c_str(),
      [](int64_t position, void *arg) {
        static_cast<ProgressBar *>(arg)->update(position > 0 ? static_cast<uint64_t>(position) : 0);
      },
      &bar);
  if (rcc == 0) bar.update(static_cast<uint64_t>(st.st_size));
  bar.finish();
  if (rcc != 0) return failRequest(out, "upload " + localFile_, rcc);
  const std::string name = remoteFile_.empty() ? Utf8(AgentConnection::uploadFileName(
                                                     Wide(localFile_).c_str()))
                                               : remoteFile_;
  return report(
      out,
      [&](JsonWriter &w) {
        w.key("file").value(localFile_).key("destination").value(name);
        w.key("bytes").value(static_cast<uint64_t>(st.st_size));
      },
      [&] {
        return "uploaded " + localFile_ + " (" +
               ProgressBar::bytes(static_cast<double>(st.st_size)) + ") to agent " +
               AgentLabel(options_) + " as " + name + "\n";
      });
}

int AgentCommand::download(CliAgentConnection &conn, const Output &out) {
  ProgressBar bar("download " + remoteFile_, 0, isatty(STDERR_FILENO) != 0);
  CSCPMessage request(conn.getProtocolVersion());
  request.SetCode(MC_AGENT_DOWNLOAD_FILE);
  request.SetVariable(VAR_FILE_NAME, Wide(remoteFile_).c_str());
  std::unique_ptr<CSCPMessage> reply(conn.customRequest(
      &request, Wide(localFile_).c_str(), append_,
      [](uint32_t position, void *arg) { static_cast<ProgressBar *>(arg)->update(position); },
      &bar));
  uint32_t rcc = RCC_BAD_RESPONSE;
  if (!reply)
    rcc = conn.isConnected() ? RCC_REQUEST_TIMEOUT : RCC_CONNECTION_BROKEN;
  else if (!reply->GetVariableExact(VAR_RCC, &rcc))
    rcc = RCC_BAD_RESPONSE;
  // No progress may come from the receiver thread once the bar goes away.
  conn.disconnectAndWait();
  struct stat st {};
  const uint64_t size =
      rcc == 0 && ::stat(localFile_.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
  if (rcc == 0) bar.update(size);
  bar.finish();
  if (rcc != 0) return failRequest(out, "download " + remoteFile_, rcc);
  return report(
      out,
      [&](JsonWriter &w) {
        w.key("file").value(remoteFile_).key("local").value(localFile_);
        w.key("bytes").value(size).key("append").value(append_);
      },
      [&] {
        return "downloaded " + remoteFile_ + " from agent " + AgentLabel(options_) + " to " +
               localFile_ + " (" + ProgressBar::bytes(static_cast<double>(size)) + ")\n";
      });
}

int AgentCommand::traps(CliAgentConnection &conn, const Output &out) {
  std::mutex lock;
  std::condition_variable changed;
  uint32_t received = 0;  // guarded by lock
  const bool json = out.json();
  conn.setTrapHandler([&](const CSCPMessage &msg, bool push) {
    std::string value;
    if (msg.IsVariableExist(VAR_VALUE)) {
      std::unique_ptr<char16_t, decltype(&free)> text(msg.GetVariableStr(VAR_VALUE), &free);
      value = Utf8(text.get());
    }
    std::lock_guard<std::mutex> guard(lock);
    if (trapCount_ != 0 && received >= trapCount_) return;
    received++;
    std::string line;
    if (json) {
      JsonWriter w;
      w.beginObject().key("kind").value(push ? "push" : "trap").key("id").value(msg.GetId());
      w.key("fields").value(msg.GetNumFields());
      if (msg.IsVariableExist(VAR_VALUE)) w.key("value").value(value);
      w.endObject();
      line = w.text() + "\n";
    } else {
      char stamp[32];
      const time_t now = time(nullptr);
      tm local{};
      localtime_r(&now, &local);
      strftime(stamp, sizeof(stamp), "%H:%M:%S", &local);
      line = std::string(stamp) + "  " + (push ? "push" : "trap") + "  id " +
             std::to_string(msg.GetId()) + "  " + std::to_string(msg.GetNumFields()) + " fields" +
             (value.empty() ? std::string() : "  " + TextTable::sanitize(value)) + "\n";
    }
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
    changed.notify_all();
  });

  const uint32_t rcc = conn.enableTraps();
  if (rcc != 0) {
    conn.setTrapHandler({});
    return failRequest(out, "traps", rcc);
  }
  if (!json)
    std::fprintf(stderr, "kmquery: waiting for traps from agent %s (Ctrl-C ends)\n",
                 AgentLabel(options_).c_str());

  g_interrupted = false;
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  struct sigaction oldInt {}, oldTerm {};
  sigaction(SIGINT, &action, &oldInt);
  sigaction(SIGTERM, &action, &oldTerm);

  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(trapDurationMs_);
  int status = kExitOk;
  {
    std::unique_lock<std::mutex> guard(lock);
    while (true) {
      if (g_interrupted) break;
      if (trapCount_ != 0 && received >= trapCount_) break;
      if (trapDurationMs_ != 0 && std::chrono::steady_clock::now() >= end) break;
      if (!conn.isConnected()) {
        status = -1;
        break;
      }
      // Signals and the session's end are noticed within this slice.
      changed.wait_for(guard, std::chrono::milliseconds(100));
    }
  }
  sigaction(SIGINT, &oldInt, nullptr);
  sigaction(SIGTERM, &oldTerm, nullptr);
  conn.setTrapHandler({});
  if (status == -1) return failRequest(out, "traps", RCC_CONNECTION_BROKEN);
  return kExitOk;
}

namespace {

// A configuration file to send larger than this is refused before anything
// is sent: agents keep theirs far smaller (the reference agent takes 200 KiB).
constexpr size_t kMaxConfigFileBytes = 1 << 20;

}  // namespace

int AgentCommand::configGet(CliAgentConnection &conn, const Output &out) {
  char16_t *raw = nullptr;
  uint32_t size = 0;
  const uint32_t rcc = conn.getConfigFile(&raw, &size);
  std::unique_ptr<char16_t, decltype(&free)> text(raw, &free);
  if (rcc != 0) return failRequest(out, "config get", rcc);
  const std::string utf8 = Utf8(text.get());
  if (!configFile_.empty()) {
    std::ofstream file(configFile_, std::ios::binary | std::ios::trunc);
    file.write(utf8.data(), static_cast<std::streamsize>(utf8.size()));
    file.close();
    if (!file) return out.fail(kExitUsage, "cannot write " + configFile_);
  }
  return report(
      out,
      [&](JsonWriter &w) {
        w.key("size").value(size);
        if (configFile_.empty())
          w.key("text").value(utf8);
        else
          w.key("file").value(configFile_);
      },
      [&] {
        return configFile_.empty()
                   ? utf8
                   : "configuration of agent " + AgentLabel(options_) + " (" +
                         std::to_string(size) + " bytes) written to " + configFile_ + "\n";
      });
}

int AgentCommand::configSet(CliAgentConnection &conn, const Output &out) {
  std::ifstream file(configFile_, std::ios::binary);
  std::string bytes(kMaxConfigFileBytes + 1, '\0');
  file.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (file.bad()) return out.fail(kExitUsage, "cannot read " + configFile_);
  bytes.resize(static_cast<size_t>(file.gcount()));
  if (bytes.size() > kMaxConfigFileBytes)
    return out.fail(kExitUsage, configFile_ + " is larger than " +
                                    std::to_string(kMaxConfigFileBytes) + " bytes");
  // The text goes as a terminated string: a NUL would cut it silently.
  if (bytes.find('\0') != std::string::npos)
    return out.fail(kExitUsage, configFile_ + " holds a NUL byte: not a text file");
  const uint32_t rcc = conn.updateConfigFile(Wide(bytes).c_str());
  if (rcc != 0) return failRequest(out, "config set " + configFile_, rcc);
  return report(
      out,
      [&](JsonWriter &w) {
        w.key("file").value(configFile_).key("bytes").value(static_cast<uint64_t>(bytes.size()));
      },
      [&] {
        return "configuration of agent " + AgentLabel(options_) + " replaced with " + configFile_ +
               " (" + std::to_string(bytes.size()) + " bytes)\n";
      });
}

int AgentCommand::upgrade(CliAgentConnection &conn, const Output &out) {
  const std::u16string path = Wide(package_);
  const std::string name = Utf8(AgentConnection::uploadFileName(path.c_str()));
  const uint32_t rcc = conn.startUpgrade(path.c_str());
  if (rcc != 0) return failRequest(out, "upgrade " + name, rcc);
  return report(
      out,
      [&](JsonWriter &w) {
        w.key("package").value(name);
        WriteSuccess(w);
      },
      [&] {
        return "agent " + AgentLabel(options_) + " accepted the upgrade with package " + name +
               "\n";
      });
}

int AgentCommand::policies(CliAgentConnection &conn, const Output &out) {
  AgentPolicyInfo *raw = nullptr;
  const uint32_t rcc = conn.getPolicyInventory(&raw);
  std::unique_ptr<AgentPolicyInfo> info(raw);
  if (rcc != 0) return failRequest(out, "policies", rcc);
  return report(
      out,
      [&](JsonWriter &w) {
        w.key("policies");
        WritePolicies(w, *info);
      },
      [&] { return PolicyTable(*info).render(); });
}

int AgentCommand::uninstallPolicy(CliAgentConnection &conn, const Output &out) {
  uint8_t guid[AGENT_POLICY_GUID_SIZE];
  if (!KmGuidFromText(guid_, guid, true))
    return out.fail(kExitUsage, "\"" + guid_ + "\" is not a GUID");
  const std::string text = KmGuidToText(guid);
  const uint32_t rcc = conn.uninstallPolicy(guid);
  if (rcc == RCC_UNKNOWN_PARAMETER)
    return out.failCode(AgentRequestExitStatus(rcc),
                        "uninstall-policy " + text + " on agent " + AgentLabel(options_), "agent",
                        rcc, AgentErrorCodeToText(static_cast<int32_t>(rcc)),
                        "the agent has no such policy");
  if (rcc != 0) return failRequest(out, "uninstall-policy " + text, rcc);
  return report(
      out,
      [&](JsonWriter &w) {
        w.key("guid").value(text);
        WriteSuccess(w);
      },
      [&] { return "policy " + text + " removed from agent " + AgentLabel(options_) + "\n"; });
}

}  // namespace kmquery
