// The few WinRT interfaces that register the sparse package, declared by hand: mingw-w64
// has no C++ header for Windows.Management.Deployment, and its windows.foundation.h does
// not compile as C++. Shared by zdrv-menu.dll, which calls them, and the stand-in of the
// Wine tests (tests/wine/deployment_standin.cpp), which implements them.
//
// An interface lists its methods up to the last one either side uses; the ones after it
// are left out, so an object implementing these declarations serves no more than that.
// The namespace is a named one: g++ took calls through an interface of an anonymous
// namespace that no class of the file implements for unreachable code.
#pragma once

#include <windows.h>
// Needs the types of windows.h.
#include <hstring.h>
#include <inspectable.h>

namespace deployment {

struct IDeploymentOperation;
struct IPackageIterable;
struct IUriRuntimeClass;

// Windows.Foundation, from microsoft/windows-rs,
// crates/libs/windows/src/Windows/Foundation/mod.rs (generated from Windows' metadata).
enum class AsyncStatus : INT32 { Started = 0, Completed = 1, Canceled = 2, Error = 3 };

struct IAsyncInfo : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_Id(UINT32* id) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Status(AsyncStatus* status) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ErrorCode(HRESULT* error) = 0;
  virtual HRESULT STDMETHODCALLTYPE Cancel() = 0;
  virtual HRESULT STDMETHODCALLTYPE Close() = 0;
};

struct IUriRuntimeClass : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_AbsoluteUri(HSTRING* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_DisplayUri(HSTRING* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Domain(HSTRING* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Extension(HSTRING* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Fragment(HSTRING* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Host(HSTRING* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Password(HSTRING* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Path(HSTRING* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Query(HSTRING* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_QueryParsed(IInspectable** value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_RawUri(HSTRING* value) = 0;
};

struct IUriRuntimeClassFactory : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE CreateUri(HSTRING uri, IUriRuntimeClass** out) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateWithRelativeUri(HSTRING base, HSTRING relative,
                                                          IUriRuntimeClass** out) = 0;
};

// Windows.ApplicationModel, from microsoft/windows-rs,
// crates/libs/windows/src/Windows/ApplicationModel/mod.rs.
struct PackageVersion {
  UINT16 major;
  UINT16 minor;
  UINT16 build;
  UINT16 revision;
};

struct IPackageId : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_Name(HSTRING* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Version(PackageVersion* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Architecture(INT32* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ResourceId(HSTRING* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Publisher(HSTRING* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_PublisherId(HSTRING* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_FullName(HSTRING* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_FamilyName(HSTRING* value) = 0;
};

// The first of Package's many methods.
struct IPackage : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_Id(IPackageId** value) = 0;
};

// IIterator<Package> and IIterable<Package>, from microsoft/windows-rs,
// crates/libs/windows/src/Windows/Foundation/Collections/mod.rs; their IIDs are the
// UUIDv5 of the type signature, "pinterface({6a79e863-…};rc(Windows.ApplicationModel.
// Package;{163c792f-bd75-413c-bf23-b1fe7b95d825}))" and "pinterface({faa585ea-…};…)".
struct IPackageIterator : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_Current(IPackage** value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_HasCurrent(boolean* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE MoveNext(boolean* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMany(UINT32 capacity, IPackage** items, UINT32* count) = 0;
};

struct IPackageIterable : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE First(IPackageIterator** value) = 0;
};

// Windows.Management.Deployment, from microsoft/windows-rs,
// crates/libs/windows/src/Windows/Management/Deployment/mod.rs.
struct DeploymentProgress {
  INT32 state;
  UINT32 percentage;
};

struct IDeploymentResult : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_ErrorText(HSTRING* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ActivityId(GUID* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ExtendedErrorCode(HRESULT* value) = 0;
};

// AsyncOperationProgressHandler<DeploymentResult, DeploymentProgress> and
// AsyncOperationWithProgressCompletedHandler<…> (Windows/Foundation/mod.rs): parameterized,
// their IIDs are UUIDv5 of the signatures "pinterface({55690902-…};rc(Windows.Management.
// Deployment.DeploymentResult;{2563b9ae-…});struct(Windows.Management.Deployment.
// DeploymentProgress;enum(Windows.Management.Deployment.DeploymentProgressState;i4);u4))"
// and the same with {e85df41d-…}.
struct IDeploymentProgressHandler : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Invoke(IDeploymentOperation* operation,
                                           DeploymentProgress progress) = 0;
};

struct IDeploymentCompletedHandler : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Invoke(IDeploymentOperation* operation, AsyncStatus status) = 0;
};

// IAsyncOperationWithProgress<DeploymentResult, DeploymentProgress> (Windows/Foundation/
// mod.rs), signature "pinterface({b5d036d7-…};…)" as above.
struct IDeploymentOperation : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE put_Progress(IDeploymentProgressHandler* handler) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Progress(IDeploymentProgressHandler** handler) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Completed(IDeploymentCompletedHandler* handler) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Completed(IDeploymentCompletedHandler** handler) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetResults(IDeploymentResult** result) = 0;
};

struct IAddPackageOptions : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_DependencyPackageUris(IInspectable** value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_TargetVolume(IInspectable** value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_TargetVolume(IInspectable* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_OptionalPackageFamilyNames(IInspectable** value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_OptionalPackageUris(IInspectable** value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_RelatedPackageUris(IInspectable** value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ExternalLocationUri(IUriRuntimeClass** value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_ExternalLocationUri(IUriRuntimeClass* value) = 0;
};

// The collections the first methods take or give are passed as IInspectable here.
struct IPackageManager : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE AddPackageAsync(IUriRuntimeClass* package,
                                                    IInspectable* dependencies, UINT32 options,
                                                    IDeploymentOperation** operation) = 0;
  virtual HRESULT STDMETHODCALLTYPE UpdatePackageAsync(IUriRuntimeClass* package,
                                                       IInspectable* dependencies, UINT32 options,
                                                       IDeploymentOperation** operation) = 0;
  virtual HRESULT STDMETHODCALLTYPE RemovePackageAsync(HSTRING full_name,
                                                       IDeploymentOperation** operation) = 0;
  virtual HRESULT STDMETHODCALLTYPE StagePackageAsync(IUriRuntimeClass* package,
                                                      IInspectable* dependencies,
                                                      IDeploymentOperation** operation) = 0;
  virtual HRESULT STDMETHODCALLTYPE RegisterPackageAsync(IUriRuntimeClass* manifest,
                                                         IInspectable* dependencies, UINT32 options,
                                                         IDeploymentOperation** operation) = 0;
  virtual HRESULT STDMETHODCALLTYPE FindPackages(IPackageIterable** packages) = 0;
  virtual HRESULT STDMETHODCALLTYPE FindPackagesByUserSecurityId(HSTRING user_sid,
                                                                 IPackageIterable** packages) = 0;
};

struct IPackageManager9 : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE FindProvisionedPackages(IInspectable** packages) = 0;
  virtual HRESULT STDMETHODCALLTYPE AddPackageByUriAsync(IUriRuntimeClass* package,
                                                         IAddPackageOptions* options,
                                                         IDeploymentOperation** operation) = 0;
};

inline constexpr wchar_t kPackageManagerClass[] = L"Windows.Management.Deployment.PackageManager";
inline constexpr wchar_t kAddPackageOptionsClass[] =
    L"Windows.Management.Deployment.AddPackageOptions";
inline constexpr wchar_t kUriClass[] = L"Windows.Foundation.Uri";

}  // namespace deployment

// The IIDs, from the same files (their define_interface! lines and, for the
// parameterized ones, computed as said above).
__CRT_UUID_DECL(deployment::IAsyncInfo, 0x00000036, 0x0000, 0x0000, 0xc0, 0x00, 0x00, 0x00, 0x00,
                0x00, 0x00, 0x46)
__CRT_UUID_DECL(deployment::IUriRuntimeClass, 0x9e365e57, 0x48b2, 0x4160, 0x95, 0x6f, 0xc7, 0x38,
                0x51, 0x20, 0xbb, 0xfc)
__CRT_UUID_DECL(deployment::IUriRuntimeClassFactory, 0x44a9796f, 0x723e, 0x4fdf, 0xa2, 0x18, 0x03,
                0x3e, 0x75, 0xb0, 0xc0, 0x84)
__CRT_UUID_DECL(deployment::IPackageId, 0x1adb665e, 0x37c7, 0x4790, 0x99, 0x80, 0xdd, 0x7a, 0xe7,
                0x4e, 0x8b, 0xb2)
__CRT_UUID_DECL(deployment::IPackage, 0x163c792f, 0xbd75, 0x413c, 0xbf, 0x23, 0xb1, 0xfe, 0x7b,
                0x95, 0xd8, 0x25)
__CRT_UUID_DECL(deployment::IPackageIterator, 0x0217f069, 0x025c, 0x5ee6, 0xa8, 0x7f, 0xe7, 0x82,
                0xe3, 0xb6, 0x23, 0xae)
__CRT_UUID_DECL(deployment::IPackageIterable, 0x69ad6aa7, 0x0c49, 0x5f27, 0xa5, 0xeb, 0xef, 0x4d,
                0x59, 0x46, 0x7b, 0x6d)
__CRT_UUID_DECL(deployment::IDeploymentResult, 0x2563b9ae, 0xb77d, 0x4c1f, 0x8a, 0x7b, 0x20, 0xe6,
                0xad, 0x51, 0x5e, 0xf3)
__CRT_UUID_DECL(deployment::IDeploymentProgressHandler, 0xf1b926d1, 0x1796, 0x597a, 0x9b, 0xea,
                0x6c, 0x64, 0x49, 0xd0, 0x3e, 0xef)
__CRT_UUID_DECL(deployment::IDeploymentCompletedHandler, 0x6e1c7129, 0x61e0, 0x5d88, 0x9f, 0xd4,
                0xf3, 0xce, 0x65, 0xa0, 0x57, 0x19)
__CRT_UUID_DECL(deployment::IDeploymentOperation, 0x5a97aab7, 0xb6ea, 0x55ac, 0xa5, 0xdc, 0xd5,
                0xb1, 0x64, 0xd9, 0x4e, 0x94)
__CRT_UUID_DECL(deployment::IAddPackageOptions, 0x05cee018, 0xf68f, 0x422b, 0x95, 0xa4, 0x66, 0x67,
                0x9e, 0xc7, 0x7f, 0xc0)
__CRT_UUID_DECL(deployment::IPackageManager, 0x9a7d4b65, 0x5e8f, 0x4fc7, 0xa2, 0xe5, 0x7f, 0x69,
                0x25, 0xcb, 0x8b, 0x53)
__CRT_UUID_DECL(deployment::IPackageManager9, 0x1aa79035, 0xcc71, 0x4b2e, 0x80, 0xa6, 0xc7, 0x04,
                0x1d, 0x85, 0x79, 0xa7)
