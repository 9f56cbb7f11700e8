// XML form of the report log: a small tree writer (TXMLItem) and the converter that takes
// every stored report text apart into its sections (TLogFile::ReportToXML, VLogFile.h).
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace ExceptionLog {

class TXMLItem;

// Owns its items.
class TXMLItems {
 public:
  TXMLItems() = default;
  ~TXMLItems();
  TXMLItems(const TXMLItems&) = delete;
  TXMLItems& operator=(const TXMLItems&) = delete;

  TXMLItem* Add(const std::string& name);
  TXMLItem* Items(int index) const { return items_[static_cast<std::size_t>(index)].get(); }
  int Count() const { return static_cast<int>(items_.size()); }

 private:
  std::vector<std::unique_ptr<TXMLItem>> items_;
};

class TXMLItem {
 public:
  explicit TXMLItem(std::string name) : name_(std::move(name)) {}
  // Appends ' name="escaped value"'.
  void AddAttribute(const std::string& name, const std::string& value);
  TXMLItem* AddChild(const std::string& name);
  // Bytes 0-31 and 127-255 and " & ' < > as "&#" + three digits + ";" (control bytes that XML
  // cannot carry at all as a blank).
  static std::string Escape(const std::string& text);
  void Render(std::string& text);
  std::string GetText();

  const std::string& Name() const { return name_; }
  TXMLItem* Parent() const { return parent_; }
  TXMLItems& Children() { return children_; }
  std::string Value;

 private:
  std::string name_;
  std::string attributes_;
  std::string indent_;
  TXMLItems children_;
  TXMLItem* parent_ = nullptr;
};

// The section converters over one report text; each gives "" when its section is absent.
// The password deciphers protected names of the call stack (empty: they stay as written).
std::string ReportVersionOf(const std::string& report);
std::string GeneralToXML(const std::string& report);
std::string CallStackToXML(const std::string& report, const std::string& password);
std::string ModulesToXML(const std::string& report);
std::string ProcessesToXML(const std::string& report);
std::string AssemblerToXML(const std::string& report);
std::string CpuToXML(const std::string& report);
std::string ReproduceToXML(const std::string& report);
std::string ReportTextToXML(const std::string& report, const std::string& password);

}  // namespace ExceptionLog
