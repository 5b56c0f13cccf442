// The component base: an object with an owner that frees it, a component state
// (loading, designing) and a hook that runs once loading ends.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Root of the class tree; gives each object its class name.
class TObject {
 public:
  TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
  virtual ~TObject() = default;
  // The object's class name, such as "TUDTCustomIpClient".
  std::string ClassName() const;
};

enum TComponentStateFlag : uint8_t { csLoading = 1, csDesigning = 2 };

// A component owned by another: freeing the owner frees what it owns, last added
// first. Not thread-safe: a component tree belongs to one thread at a time.
class TComponent : public TObject {
 public:
  explicit TComponent(TComponent* AOwner);
  ~TComponent() override;

  TComponent* Owner() const noexcept { return FOwner; }
  uint8_t ComponentState() const noexcept { return FComponentState; }
  bool IsLoading() const noexcept { return FComponentState & csLoading; }
  bool IsDesigning() const noexcept { return FComponentState & csDesigning; }

  // Marks the start of reading a stored description into the component.
  void BeginLoading() noexcept { FComponentState |= csLoading; }
  // Ends loading and runs the Loaded hook once.
  void EndLoading();
  void SetDesigning(bool Value) noexcept;

 protected:
  // Runs when loading ends; overrides call the inherited step first.
  virtual void Loaded();

 private:
  void InsertComponent(TComponent* c);
  void RemoveComponent(TComponent* c) noexcept;

  TComponent* FOwner;
  uint8_t FComponentState = 0;
  std::vector<TComponent*> FComponents;
};
