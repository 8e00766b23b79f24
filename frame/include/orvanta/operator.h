// The host's operator interface: requests, inputs, outputs, the operator base classes and the
// class registry, as the tools call and rely on them.
#pragma once

#include <cstdint>

#include "orvanta/archive.h"
#include "orvanta/image.h"
#include "orvanta/object.h"
#include "orvanta/tags.h"

namespace orvanta {

class Operator;
class ThreadedOperator;
class Registry;
struct RequestState;
struct InputState;
struct OperatorState;
struct ClassList;
class ImageOwner;

// One render of one node at one time.
class Request : public Object {
 public:
  explicit Request(double time);
  ~Request() override;
  int32_t GetPri() const;
  double Time() const;
  RequestState* State() const { return state_; }

 private:
  RequestState* state_;
};

class Input : public Object {
 public:
  ~Input() override;
  // The value at the request's time: a Number, a Point or an Image (null for an unconnected
  // image input). The value stays valid until the request ends.
  Parameter* GetValue(Request* req, uint32_t flags = 0);
  // The set-value operation a host UI uses: stores value at time and notifies the owner.
  virtual void SetValue(Parameter* value, double time, uint32_t flags);
  // Changes the control description: InShown, ranges and limits.
  void SetAttrs(const TagList& tags) override;

  InputState* State() const { return state_; }

 private:
  friend class Operator;
  explicit Input(InputState* s) : state_(s) {}
  InputState* state_;
};

class Output : public Object {
 public:
  ~Output() override;
  // Publishes the result for the request; the host takes ownership of it.
  void Set(Request* req, Parameter* value);
  uint32_t Id() const { return id_; }
  Operator* Owner() const { return owner_; }

 private:
  friend class Operator;
  Output(Operator* owner, uint32_t id) : owner_(owner), id_(id) {}
  Operator* owner_;
  uint32_t id_;
};

// Virtual operations are declared in the host's slot order; the tools override the destructor
// group, Save, CheckRequest, Process, NotifyChanged and ProcessChunk.
class Operator : public Object {
 public:
  Operator(Registry* reg, CArchive* archive, TagList* tags);
  ~Operator() override;
  // Deleting destructor: destroys the object and frees its memory when bit 0 of flags is set.
  virtual void* DeletingDestructor(uint32_t flags);

  virtual void CopyAttr(const Operator* other);
  virtual int Save(CArchive* archive, TagList* tags);
  virtual void EndUndo();
  virtual int HandleRequest(Request* req);
  virtual int CheckRequest(Request* req);
  virtual void OnConnect(Input* input);
  virtual void PostProcess(Request* req);
  virtual void Process(Request* req);
  virtual void SetSource(Input* input, Parameter* value);
  virtual void ReplaceWith(Operator* other);
  virtual void NotifyChanged(Input* input, Parameter* value, double time);
  virtual void RegionChanged();

  Input* AddInput(const char* label, uint32_t type, uint32_t id, const TagList& tags = {});
  void AddControlPage(const char* label, const TagList& tags = {});
  Output* AddOutput(const char* label, uint32_t type, uint32_t id, const TagList& tags = {});

  // Hook routines named in the registry tags; the host calls them, tools only pass them.
  static void RegInit(Registry* reg);
  static void RegCleanup(Registry* reg);

  // The tool's image owner, set by the host; passed through with ImOwner.
  ImageOwner* Owner = nullptr;

  OperatorState* State() const { return state_; }

 private:
  OperatorState* state_;
};

class ThreadedOperator : public Operator {
 public:
  ThreadedOperator(Registry* reg, CArchive* archive, TagList* tags);
  ~ThreadedOperator() override;

  virtual void ThreadMain();
  virtual void ProcessChunk(Request* req, int32_t index);
  virtual void QuickProcessChunk(Request* req, int32_t index);

  // Runs ProcessChunk(req, i) for i in 0..n-1 on the host's workers and returns when all are
  // done. n <= 0 runs nothing. An exception in a chunk is rethrown here after all chunks stopped.
  void DoMultiProcess(Request* req, int32_t n);
};

using CreateFn = ThreadedOperator* (*)(Registry* reg, CArchive* archive, TagList* tags);

// The host's list of tool classes; a Registry record adds one class to it.
extern ClassList* ClassRegistry;

class Registry {
 public:
  Registry(ClassList** list, const char* name, const TagList& tags);
  ~Registry();
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  const char* Name() const;

 private:
  struct Record;
  Record* record_;
};

}  // namespace orvanta
