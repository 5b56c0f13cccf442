#include "component.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <typeinfo>

std::string TObject::ClassName() const {
  const char* mangled = typeid(*this).name();
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(
      abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
  std::string name = status == 0 && demangled ? demangled.get() : mangled;
  auto colon = name.rfind("::");
  return colon == std::string::npos ? name : name.substr(colon + 2);
}

TComponent::TComponent(TComponent* AOwner) : FOwner(AOwner) {
  if (FOwner) FOwner->InsertComponent(this);
}

TComponent::~TComponent() {
  while (!FComponents.empty()) {
    TComponent* c = FComponents.back();
    FComponents.pop_back();
    c->FOwner = nullptr;
    delete c;
  }
  if (FOwner) FOwner->RemoveComponent(this);
}

void TComponent::EndLoading() {
  if (IsLoading()) Loaded();
}

void TComponent::SetDesigning(bool Value) noexcept {
  if (Value) FComponentState |= csDesigning;
  else FComponentState &= ~csDesigning;
}

void TComponent::Loaded() { FComponentState &= ~csLoading; }

void TComponent::InsertComponent(TComponent* c) { FComponents.push_back(c); }

void TComponent::RemoveComponent(TComponent* c) noexcept {
  auto it = std::find(FComponents.begin(), FComponents.end(), c);
  if (it != FComponents.end()) FComponents.erase(it);
}
