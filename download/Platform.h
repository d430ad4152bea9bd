#pragma once

#include <QString>

// The operating-system side of the file helpers: the hidden attribute, drive roots,
// file-system types and fixed disks. On Windows these are the file-attribute and
// drive-type calls; this is the Linux implementation.
namespace Platform {

// Reads whether the file carries the hidden attribute. On failure returns false and
// puts the system error number into *error.
bool readHiddenAttribute(const QString &path, bool *hidden, int *error);

// Sets or clears the hidden attribute, keeping every other attribute.
bool writeHiddenAttribute(const QString &path, bool hidden, int *error);

// The mount point of the volume that holds path ("/" included); empty for network file
// systems, which have no local drive, and when nothing of the path exists.
QString driveRoot(const QString &path);

// True for a volume on an internal disk: a local block device that is neither
// removable nor attached through USB.
bool isFixedDrive(const QString &rootPath);

// The decision behind isFixedDrive, on a sysfs tree rooted at sysRoot, for a device
// node such as "/dev/sda1" or a bare name such as "sda1".
bool isFixedBlockDevice(const QString &sysRoot, const QString &device);

// The type of the file system that holds path, as the system names it ("ext4", "vfat").
QString fileSystemType(const QString &path);

// FAT in any of its names: "fat", "fat32", "vfat", "msdos", "fuse.fusefat"; exFAT and
// NTFS are not FAT.
bool isFatFileSystemType(const QString &type);

// Network file systems (NFS, SMB/CIFS, SSHFS and the like).
bool isNetworkFileSystemType(const QString &type);

}
