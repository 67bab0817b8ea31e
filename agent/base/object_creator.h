#ifndef AGENT_OBJECT_CREATOR_H
#define AGENT_OBJECT_CREATOR_H

#include <cerrno>
#include <new>

#include <ace/ACE.h>

/// Makes and destroys objects of type T on behalf of a module that the
/// caller cannot reach otherwise (the job parsers of a plug-in): the caller
/// gets objects through create() and gives each back through destroy() of
/// the same creator, never through delete, so allocation and release happen
/// in the module that owns the class.
///
/// Life cycle: init() once with the arguments of the configuration line
/// (argv[0] is the service name), create()/destroy() any number of times,
/// fini() once before the creator is destroyed. create() and destroy() may
/// be called from several threads at once.
template <typename T>
class Object_Creator_T {
 public:
  using object_type = T;

  Object_Creator_T() = default;
  virtual ~Object_Creator_T() = default;
  Object_Creator_T(const Object_Creator_T&) = delete;
  Object_Creator_T& operator=(const Object_Creator_T&) = delete;

  /// Base: 0.
  virtual int init(int argc, ACE_TCHAR* argv[]) {
    (void)argc;
    (void)argv;
    return 0;
  }
  /// Base: 0.
  virtual int fini() { return 0; }
  /// A new object, or null (errno set; ENOMEM when memory ran out).
  virtual T* create() = 0;
  /// Releases an object made by create(); null is ignored.
  virtual void destroy(T* object) = 0;
};

/// The creator of `Concrete` objects handed out as `Base::object_type`:
/// create() is `new (std::nothrow) Concrete` (null with errno ENOMEM when
/// memory runs out), destroy() deletes.
template <typename Base, typename Concrete>
class Object_Creator_Impl_T : public Base {
 public:
  using T = typename Base::object_type;

  T* create() override {
    T* object = new (std::nothrow) Concrete;
    if (object == nullptr) errno = ENOMEM;
    return object;
  }
  void destroy(T* object) override { delete object; }
};

#endif
