// A scripted SNMP device for driver tests: an SNMP_Transport that answers
// each request in the same call from a table of values, so discovery runs
// without sockets. GET answers the exact name (noSuchInstance, or noSuchName
// in SNMPv1, when it is missing); GETNEXT the next name in the table
// (endOfMibView past the last one). A request naming a "failing" name gets
// the scripted error status, or no answer at all (a time-out). Subclasses
// may generate rows instead of storing them (findNext).
//
// One thread at a time, like every transport.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "kmsnmp/snmp.h"

using Oid = std::vector<uint32_t>;

inline Oid ParseOid(const std::string &text) {
  uint32_t e[SNMP_MAX_OID_LENGTH];
  uint32_t n = SNMPParseOID(text.c_str(), e, SNMP_MAX_OID_LENGTH);
  return Oid(e, e + n);
}

inline Oid Append(Oid oid, std::initializer_list<uint32_t> tail) {
  oid.insert(oid.end(), tail);
  return oid;
}

struct FakeValue {
  uint32_t type = ASN_OCTET_STRING;
  uint32_t number = 0;  // INTEGER, unsigned types, IpAddress (host order)
  std::string bytes;    // OCTET STRING

  void applyTo(SNMP_Variable *var) const {
    switch (type) {
      case ASN_INTEGER:
        var->setInteger(static_cast<int32_t>(number));
        break;
      case ASN_IP_ADDR:
        var->setIpAddress(number);
        break;
      case ASN_OCTET_STRING:
        var->setOctets(type, reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
        break;
      default:
        var->setUnsigned(type, number);
        break;
    }
  }
};

class FakeSnmpDevice : public SNMP_Transport {
 public:
  // Error status 0 in a failure means: no answer (the request times out).
  static constexpr uint32_t kNoAnswer = 0;

  explicit FakeSnmpDevice(uint32_t version = SNMP_VERSION_2C) {
    setSnmpVersion(version);
    setSecurityContext(new SNMP_SecurityContext("public"));
  }
  ~FakeSnmpDevice() override { delete pending_; }

  void setInteger(const Oid &name, int32_t v) {
    values_[name] = FakeValue{ASN_INTEGER, static_cast<uint32_t>(v), {}};
  }
  void setText(const Oid &name, const std::string &bytes) {
    values_[name] = FakeValue{ASN_OCTET_STRING, 0, bytes};
  }
  void setIpAddress(const Oid &name, uint32_t hostOrder) {
    values_[name] = FakeValue{ASN_IP_ADDR, hostOrder, {}};
  }
  void erase(const Oid &name) { values_.erase(name); }
  // Requests that name `name` get error status `status` (kNoAnswer: none).
  void fail(const Oid &name, uint32_t status) { failures_[name] = status; }

  // Requests seen, as (command, name).
  const std::vector<std::pair<uint32_t, Oid>> &requests() const { return requests_; }
  size_t countRequests(uint32_t command, const Oid &name) const {
    size_t n = 0;
    for (const auto &r : requests_) n += r.first == command && r.second == name;
    return n;
  }
  void keepRequestLog(bool keep) { logRequests_ = keep; }
  void clearRequestLog() { requests_.clear(); }

  int sendMessage(SNMP_PDU *request) override {
    const SNMP_Variable *asked = request->getVariable(0);
    Oid name(asked->getName(), asked->getName() + asked->getNameLength());
    if (logRequests_) requests_.emplace_back(request->getCommand(), name);
    delete pending_;
    pending_ = nullptr;
    auto failure = failures_.find(name);
    if (failure != failures_.end() && failure->second == kNoAnswer) return 1;

    auto *answer = new SNMP_PDU(SNMP_RESPONSE, request->getRequestId(), request->getVersion());
    pending_ = answer;
    if (failure != failures_.end()) {
      answer->setErrorCode(failure->second);
      answer->bindVariable(new SNMP_Variable(name.data(), static_cast<uint32_t>(name.size())));
      return 1;
    }
    if (request->getCommand() == SNMP_GET_BULK_REQUEST) {
      // Successors up to max-repetitions, endOfMibView past the last name.
      Oid at = name;
      for (uint32_t i = 0; i < request->getMaxRepetitions(); i++) {
        Oid next = at;
        std::optional<FakeValue> v = findNext(at, &next);
        auto *var = new SNMP_Variable(next.data(), static_cast<uint32_t>(next.size()));
        if (v) {
          v->applyTo(var);
        } else {
          var->setNull(ASN_END_OF_MIBVIEW);
        }
        answer->bindVariable(var);
        if (!v) break;
        at = next;
      }
      return 1;
    }
    Oid found = name;
    std::optional<FakeValue> value;
    if (request->getCommand() == SNMP_GET_REQUEST) {
      auto it = values_.find(name);
      if (it != values_.end()) value = it->second;
    } else {
      value = findNext(name, &found);
    }
    auto *var = new SNMP_Variable(found.data(), static_cast<uint32_t>(found.size()));
    if (value) {
      value->applyTo(var);
    } else if (request->getVersion() == SNMP_VERSION_1) {
      answer->setErrorCode(SNMP_PDU_ERR_NO_SUCH_NAME);
      answer->setErrorIndex(1);
    } else {
      var->setNull(request->getCommand() == SNMP_GET_REQUEST ? ASN_NO_SUCH_INSTANCE
                                                             : ASN_END_OF_MIBVIEW);
    }
    answer->bindVariable(var);
    return 1;
  }

  int readMessage(SNMP_PDU **pdu, uint32_t, struct sockaddr *, int *,
                  SNMP_SecurityContextFinder) override {
    if (pending_ == nullptr) return 0;
    *pdu = pending_;
    pending_ = nullptr;
    return 1;
  }

 protected:
  // The first stored name after `name`, with its value; nothing past the end.
  virtual std::optional<FakeValue> findNext(const Oid &name, Oid *next) {
    auto it = values_.upper_bound(name);
    if (it == values_.end()) return std::nullopt;
    *next = it->first;
    return it->second;
  }

 private:
  std::map<Oid, FakeValue> values_;
  std::map<Oid, uint32_t> failures_;
  std::vector<std::pair<uint32_t, Oid>> requests_;
  bool logRequests_ = true;
  SNMP_PDU *pending_ = nullptr;
};
