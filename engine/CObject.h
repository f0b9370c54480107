// The root of the serialisable classes: each carries a run-time class record that names it,
// gives its schema number and makes a default instance.
#pragma once

#include <memory>

class CObject;
class LinkArchive;

struct CRuntimeClass {
  const char* className;
  unsigned schema;
  std::unique_ptr<CObject> (*createObject)();  // a default instance; the caller owns it
};

class CObject {
 public:
  virtual const CRuntimeClass* GetRuntimeClass() const = 0;
  virtual ~CObject() = default;
  // Reads or writes the object's fields; the root class has none.
  virtual void Serialize(LinkArchive&) {}

 protected:
  CObject() = default;
  CObject(const CObject&) = default;
  CObject& operator=(const CObject&) = default;
  CObject(CObject&&) = default;
  CObject& operator=(CObject&&) = default;
};
