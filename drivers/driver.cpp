// NetworkDeviceDriver: identification, the device tests, and generic
// interface discovery over the interfaces group, ifXTable and ipAddrTable.
#include "kmsrv/driver.h"

#include <arpa/inet.h>

#include <cstring>
#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

#include "discovery_walk.h"
#include "kmbase/text.h"
#include "kmsnmp/snmp.h"
#include "kmsrv/debug.h"
#include "kmsrv/snmp.h"
#include "value_store.h"

namespace {

constexpr int kDebugLevel = 6;

// Capacity of a new list when ifNumber is implausible.
constexpr int32_t kDefaultCapacity = 64;
// Largest ifNumber taken as the list's initial capacity.
constexpr int32_t kMaxInitialCapacity = 4096;

// Room for one text value, terminator included (the record's name fields).
constexpr size_t kTextSize = KM_INTERFACE_NAME_LENGTH;
// An alias or name text this long or longer is shown without the other part.
constexpr size_t kCompositeLimit = 253;
// Bytes read for ifPhysAddress; the first 6 become the MAC address.
constexpr uint32_t kPhysAddressSize = 256;

// Stops a walk when a bound is reached or memory is short; any non-zero
// handler result ends SnmpEnumerate with that result.
constexpr uint32_t kStopWalk = 0xFFFFFFFF;

// ifNumber.0
constexpr uint32_t kIfNumber[] = {1, 3, 6, 1, 2, 1, 2, 1, 0};
// ifEntry (.1.3.6.1.2.1.2.2.1) and ifXEntry (.1.3.6.1.2.1.31.1.1.1); a
// column number and the ifIndex follow.
constexpr uint32_t kIfEntry[] = {1, 3, 6, 1, 2, 1, 2, 2, 1};
constexpr uint32_t kIfXEntry[] = {1, 3, 6, 1, 2, 1, 31, 1, 1, 1};
constexpr uint32_t kIfDescr = 2, kIfType = 3, kIfPhysAddress = 6;
constexpr uint32_t kIfName = 1, kIfAlias = 18;
// ipAddrEntry columns; ipAdEntAddr names are the column followed by the
// four address bytes.
constexpr uint32_t kIpAdEntIfIndex = 2, kIpAdEntNetMask = 3;
constexpr uint32_t kIpAddrEntryLength = 10;  // .1.3.6.1.2.1.4.20.1.<column>
constexpr uint32_t kIpAddrNameLength = kIpAddrEntryLength + 4;

// The name of one cell of a table column: entry prefix, column, index.
class CellName {
 public:
  template <size_t N>
  CellName(const uint32_t (&entry)[N], uint32_t column, uint32_t index) : length_(N + 2) {
    static_assert(N + 2 <= kMaxLength);
    std::memcpy(elements_, entry, sizeof(entry));
    elements_[N] = column;
    elements_[N + 1] = index;
  }
  const uint32_t *elements() const { return elements_; }
  uint32_t length() const { return length_; }

 private:
  static constexpr uint32_t kMaxLength = 16;
  uint32_t elements_[kMaxLength];
  uint32_t length_;
};

// Where the values of single cells come from: one GET each, or whole
// columns read ahead by bulk walks. A lookup in the columns answers as the
// GET would: a cell the device has no value for fails with
// SNMP_ERR_NO_OBJECT, and values are stored by SnmpGet's own rules.
class CellSource {
 public:
  explicit CellSource(SNMP_Transport *t) : t_(t) {}

  SNMP_Transport *transport() const { return t_; }

  uint32_t get(const uint32_t *name, uint32_t length, void *buffer, uint32_t size,
               uint32_t flags) const {
    if (!ahead_)
      return SnmpGet(t_->getSnmpVersion(), t_, nullptr, name, length, buffer, size, flags);
    auto found = cells_.find(std::vector<uint32_t>(name, name + length));
    if (found == cells_.end()) return SNMP_ERR_NO_OBJECT;
    return kmsrv::SnmpStoreValue(found->second.get(), buffer, size, flags);
  }

  // Reads the columns under `roots` with bulk walks; from then on cells are
  // looked up there. When a walk fails (or the bound is passed), nothing is
  // kept and every cell is read with its own GET after all.
  void readAhead(uint32_t bulkRepetitions, const std::vector<const char16_t *> &roots) {
    if (!kmsrv::UseBulkWalks(bulkRepetitions, t_)) return;
    for (const char16_t *root : roots) {
      if (SnmpWalkBulk(t_->getSnmpVersion(), t_, root, Keep, this, 0, bulkRepetitions) !=
          SNMP_ERR_SUCCESS) {
        cells_.clear();
        ahead_ = false;
        return;
      }
    }
    ahead_ = true;
  }

 private:
  // Cells kept at most: a few columns of the largest accepted table.
  static constexpr size_t kMaxCells =
      6 * static_cast<size_t>(NetworkDeviceDriver::kMaxInterfaceRecords);

  static uint32_t Keep(uint32_t, SNMP_Variable *var, SNMP_Transport *, void *arg) {
    auto *self = static_cast<CellSource *>(arg);
    if (self->cells_.size() >= kMaxCells) return kStopWalk;
    std::unique_ptr<SNMP_Variable> copy(var->clone());
    if (!copy) return kStopWalk;
    self->cells_[std::vector<uint32_t>(var->getName(), var->getName() + var->getNameLength())] =
        std::move(copy);
    return 0;
  }

  SNMP_Transport *t_;
  bool ahead_ = false;
  std::map<std::vector<uint32_t>, std::unique_ptr<SNMP_Variable>> cells_;
};

// A text value into buf (kTextSize characters). The buffer is cleared first
// so that whatever the device's type gives (a 32-bit value writes 4 bytes),
// the text is terminated.
uint32_t GetText(const CellSource &s, const uint32_t *name, uint32_t length, char16_t *buf) {
  std::memset(buf, 0, kTextSize * sizeof(char16_t));
  uint32_t rc = s.get(name, length, buf, kTextSize, 0);
  buf[kTextSize - 1] = 0;
  return rc;
}

// A 32-bit value (integer types, or an IpAddress in host byte order). The
// size passed is in characters for the case that the device answers with a
// text: two characters fit the 4 bytes, so no answer can overrun the value.
uint32_t GetUInt32(const CellSource &s, const uint32_t *name, uint32_t length, uint32_t *value) {
  uint32_t v = 0;
  uint32_t rc = s.get(name, length, &v, sizeof(v) / sizeof(char16_t), 0);
  if (rc == SNMP_ERR_SUCCESS) {
    *value = v;
  }
  return rc;
}

uint32_t GetCell(const CellSource &s, const CellName &cell, char16_t *buf) {
  return GetText(s, cell.elements(), cell.length(), buf);
}

uint32_t GetCell(const CellSource &s, const CellName &cell, uint32_t *value) {
  return GetUInt32(s, cell.elements(), cell.length(), value);
}

// Puts `first` into displayName and, when it is shorter than
// kCompositeLimit, appends " (second)"; everything cut to 255 characters.
void Compose(char16_t *displayName, const char16_t *first, const char16_t *second) {
  size_t length = km_strlcpy16(displayName, first, kTextSize);
  if (length >= kCompositeLimit) {
    return;
  }
  km_snprintf16(displayName + length, kTextSize - length, u" (%s)", second);
  displayName[kTextSize - 1] = 0;
}

// displayName, as useAliases asks, from the alias it holds and the name text.
void ComposeDisplayName(char16_t *displayName, const char16_t *nameText, int32_t useAliases) {
  if (useAliases <= 0 || useAliases >= 4 || displayName[0] == 0) {
    km_strlcpy16(displayName, nameText, kTextSize);
    return;
  }
  if (useAliases == 1) {
    return;  // the alias as it is
  }
  char16_t alias[kTextSize];
  km_strlcpy16(alias, displayName, kTextSize);
  if (useAliases == 2) {
    Compose(displayName, alias, nameText);
  } else {
    Compose(displayName, nameText, alias);
  }
}

// Reads names, type and MAC address of one interface. False when ifDescr
// could not be read: the caller then stops reading further interfaces.
bool ReadInterface(const CellSource &t, KM_INTERFACE_INFO *rec, int32_t useAliases,
                   bool useIfXTable) {
  const uint32_t index = rec->ifIndex;
  if (GetCell(t, CellName(kIfEntry, kIfDescr, index), rec->description) != SNMP_ERR_SUCCESS) {
    return false;
  }

  if (useAliases > 0) {
    if (GetCell(t, CellName(kIfXEntry, kIfAlias, index), rec->displayName) == SNMP_ERR_SUCCESS) {
      StrStrip(rec->displayName);
    } else {
      rec->displayName[0] = 0;
    }
  }

  char16_t nameText[kTextSize];
  if (!useIfXTable ||
      GetCell(t, CellName(kIfXEntry, kIfName, index), nameText) != SNMP_ERR_SUCCESS) {
    km_strlcpy16(nameText, rec->description, kTextSize);
  }
  ComposeDisplayName(rec->displayName, nameText, useAliases);

  uint32_t type = 0;
  rec->ifType =
      GetCell(t, CellName(kIfEntry, kIfType, index), &type) == SNMP_ERR_SUCCESS ? type : 1;

  uint8_t physAddress[kPhysAddressSize];
  std::memset(physAddress, 0, sizeof(rec->macAddr));
  CellName mac(kIfEntry, kIfPhysAddress, index);
  if (t.get(mac.elements(), mac.length(), physAddress, kPhysAddressSize, SNMPGET_AS_RAW) ==
      SNMP_ERR_SUCCESS) {
    std::memcpy(rec->macAddr, physAddress, sizeof(rec->macAddr));
  } else {
    std::memset(rec->macAddr, 0, sizeof(rec->macAddr));
  }
  return true;
}

void LogTooManyRecords(SNMP_Transport *t) {
  DbgPrintf(kDebugLevel,
            u"NetworkDeviceDriver::getInterfaces(%p): more than %d interface records, "
            u"discovery abandoned",
            static_cast<void *>(t), NetworkDeviceDriver::kMaxInterfaceRecords);
}

// Collects the ifIndex column; the records are made once the walk is done.
uint32_t IfIndexHandler(uint32_t, SNMP_Variable *var, SNMP_Transport *t, void *arg) {
  auto *indexes = static_cast<std::vector<uint32_t> *>(arg);
  if (indexes->size() >= static_cast<size_t>(NetworkDeviceDriver::kMaxInterfaceRecords)) {
    LogTooManyRecords(t);
    return kStopWalk;
  }
  indexes->push_back(var->GetValueAsUInt());
  return 0;
}

struct AddressWalk {
  InterfaceList *list;
  const CellSource *cells;  // netmask and ifIndex of each address
  // Position of the first record of each ifIndex, as findByIfIndex would
  // find it, without a search through the list for every address. Copies
  // are only ever appended, so the positions stay right.
  std::unordered_map<uint32_t, int32_t> firstRecord;
};

// One ipAdEntAddr row: finds its netmask and interface and gives the address
// to that interface's record, or to a new copy of it when the record already
// has one. A row that cannot be resolved is skipped; only a bound or a lack
// of memory stops the walk.
uint32_t AddressHandler(uint32_t, SNMP_Variable *var, SNMP_Transport *t, void *arg) {
  auto *walk = static_cast<AddressWalk *>(arg);
  InterfaceList *list = walk->list;
  const uint32_t nameLength = var->getNameLength();
  if (nameLength != kIpAddrNameLength) {
    // Not indexed by four address bytes: the neighbouring columns cannot be
    // named from it.
    char16_t text[1024];
    SNMPConvertOIDToText(nameLength, var->getName(), text, 1024);
    DbgPrintf(kDebugLevel, u"NetworkDeviceDriver::getInterfaces(%p): ignored malformed %s",
              static_cast<void *>(t), text);
    return 0;
  }
  const uint32_t address = ntohl(var->GetValueAsUInt());

  uint32_t name[kIpAddrNameLength];
  std::memcpy(name, var->getName(), sizeof(name));
  const uint32_t column = nameLength - 5;
  uint32_t netMask = 0, ifIndex = 0;
  name[column] = kIpAdEntNetMask;
  uint32_t rc = GetUInt32(*walk->cells, name, nameLength, &netMask);
  if (rc == SNMP_ERR_SUCCESS) {
    name[column] = kIpAdEntIfIndex;
    rc = GetUInt32(*walk->cells, name, nameLength, &ifIndex);
  }
  if (rc != SNMP_ERR_SUCCESS) {
    char16_t text[1024];
    SNMPConvertOIDToText(nameLength, name, text, 1024);
    DbgPrintf(kDebugLevel, u"NetworkDeviceDriver::getInterfaces(%p): SNMP GET %s failed (error %d)",
              static_cast<void *>(t), text, static_cast<int32_t>(rc));
    return 0;
  }

  auto found = walk->firstRecord.find(ifIndex);
  if (found == walk->firstRecord.end()) {
    return 0;
  }
  KM_INTERFACE_INFO *rec = list->get(found->second);
  if (rec->ipAddr == 0) {
    rec->ipAddr = address;
    rec->ipNetMask = netMask;
    return 0;
  }
  if (list->getSize() >= NetworkDeviceDriver::kMaxInterfaceRecords) {
    LogTooManyRecords(t);
    return kStopWalk;
  }
  KM_INTERFACE_INFO copy;
  std::memcpy(&copy, rec, sizeof(copy));
  copy.ipAddr = address;
  copy.ipNetMask = netMask;
  if (!list->add(&copy)) {
    DbgPrintf(kDebugLevel, u"NetworkDeviceDriver::getInterfaces(%p): out of memory",
              static_cast<void *>(t));
    return kStopWalk;
  }
  return 0;
}

}  // namespace

NetworkDeviceDriver::~NetworkDeviceDriver() = default;

const char16_t *NetworkDeviceDriver::getName() { return u"GENERIC"; }

const char16_t *NetworkDeviceDriver::getVersion() { return u"1.2.2"; }

int32_t NetworkDeviceDriver::isPotentialDevice(const char16_t *) { return 1; }

bool NetworkDeviceDriver::isDeviceSupported(SNMP_Transport *, const char16_t *) { return true; }

void NetworkDeviceDriver::analyzeDevice(SNMP_Transport *, const char16_t *, StringMap *) {}

InterfaceList *NetworkDeviceDriver::getInterfaces(SNMP_Transport *snmpTransport, StringMap *,
                                                  int32_t useAliases, bool useIfXTable) {
  void *const tp = snmpTransport;
  DbgPrintf(kDebugLevel, u"NetworkDeviceDriver::getInterfaces(%p,%d,%s)", tp, useAliases,
            useIfXTable ? u"true" : u"false");
  if (snmpTransport == nullptr) {
    DbgPrintf(kDebugLevel,
              u"NetworkDeviceDriver::getInterfaces(%p): SNMP GET .1.3.6.1.2.1.2.1.0 failed (%s)",
              tp, SNMPGetErrorText(SNMP_ERR_COMM));
    return nullptr;
  }

  uint32_t ifNumber = 0;
  uint32_t rc = GetUInt32(CellSource(snmpTransport), kIfNumber,
                          sizeof(kIfNumber) / sizeof(kIfNumber[0]), &ifNumber);
  if (rc != SNMP_ERR_SUCCESS) {
    DbgPrintf(kDebugLevel,
              u"NetworkDeviceDriver::getInterfaces(%p): SNMP GET .1.3.6.1.2.1.2.1.0 failed (%s)",
              tp, SNMPGetErrorText(rc));
    return nullptr;
  }
  // The list is made once the walk has counted the interfaces: a device
  // whose ifNumber is wrong then costs no repeated growth of the list.
  const int32_t count = static_cast<int32_t>(ifNumber);
  int32_t capacity = count >= 1 && count <= kMaxInitialCapacity ? count : kDefaultCapacity;
  std::vector<uint32_t> indexes;
  InterfaceList *list = nullptr;
  bool ok = true;
  if (kmsrv::DiscoveryWalk(bulkRepetitions_, snmpTransport, u".1.3.6.1.2.1.2.2.1.1", IfIndexHandler,
                           &indexes) == SNMP_ERR_SUCCESS) {
    if (static_cast<size_t>(capacity) < indexes.size()) {
      capacity = static_cast<int32_t>(indexes.size());
    }
    list = new InterfaceList(capacity);
    KM_INTERFACE_INFO rec;
    std::memset(&rec, 0, sizeof(rec));
    for (uint32_t ifIndex : indexes) {
      rec.ifIndex = ifIndex;
      if (!list->add(&rec)) {
        DbgPrintf(kDebugLevel, u"NetworkDeviceDriver::getInterfaces(%p): out of memory", tp);
        ok = false;
        break;
      }
    }
  } else {
    DbgPrintf(kDebugLevel,
              u"NetworkDeviceDriver::getInterfaces(%p): SNMP WALK .1.3.6.1.2.1.2.2.1.1 failed", tp);
    ok = false;
  }
  std::vector<uint32_t>().swap(indexes);

  if (ok) {
    {
      CellSource interfaces(snmpTransport);
      if (list->getSize() > 0) {
        // ifDescr, ifType, ifPhysAddress, and ifAlias and ifName when used.
        std::vector<const char16_t *> columns = {u".1.3.6.1.2.1.2.2.1.2", u".1.3.6.1.2.1.2.2.1.3",
                                                 u".1.3.6.1.2.1.2.2.1.6"};
        if (useAliases > 0) columns.push_back(u".1.3.6.1.2.1.31.1.1.1.18");
        if (useIfXTable) columns.push_back(u".1.3.6.1.2.1.31.1.1.1.1");
        interfaces.readAhead(bulkRepetitions_, columns);
      }
      // No record is added during this pass, so the pointers stay valid.
      for (int32_t i = 0; i < list->getSize(); i++) {
        if (!ReadInterface(interfaces, list->get(i), useAliases, useIfXTable)) {
          break;
        }
      }
    }
    CellSource addresses(snmpTransport);
    // ipAdEntIfIndex and ipAdEntNetMask.
    addresses.readAhead(bulkRepetitions_, {u".1.3.6.1.2.1.4.20.1.2", u".1.3.6.1.2.1.4.20.1.3"});
    AddressWalk walk{list, &addresses, {}};
    for (int32_t i = 0; i < list->getSize(); i++) {
      walk.firstRecord.emplace(list->get(i)->ifIndex, i);
    }
    rc = kmsrv::DiscoveryWalk(bulkRepetitions_, snmpTransport, u".1.3.6.1.2.1.4.20.1.1",
                              AddressHandler, &walk);
    if (rc != SNMP_ERR_SUCCESS) {
      DbgPrintf(kDebugLevel,
                u"NetworkDeviceDriver::getInterfaces(%p): SNMP WALK .1.3.6.1.2.1.4.20.1.1 failed "
                u"(%s)",
                tp, SNMPGetErrorText(rc));
      ok = false;
    }
  }

  if (!ok) {
    delete list;
    list = nullptr;
  }
  DbgPrintf(kDebugLevel, u"NetworkDeviceDriver::getInterfaces(%p): completed, ifList=%p", tp,
            static_cast<void *>(list));
  return list;
}
