#pragma once

#include <QString>

// The operating-system side of the file helpers: the hidden attribute, drive roots,
// file-system types and fixed disks. On Windows these are the file-attribute and
// drive-type calls; this is the Linux implementation.
namespace Platform {

// Reads whether the file carries the hidden attribute (of a symbolic link itself, never of
// what it points to). On failure returns false and
// puts the system error number into *error.
bool readHiddenAttribute(const QString &path, bool *hidden, int *error);

// Sets or clears the hidden attribute, keeping every other attribute.
bool writeHiddenAttribute(const QString &path, bool hidden, int *error);

// Creates the file (its folder exists) already carrying the hidden attribute, so that no
// moment exists in which a process killed or a power cut leaves it visible; on Windows
// this is a create with the hidden attribute. False (with the system error number) when the
// file exists or the file system cannot do it; the caller then creates it and hides it.
bool createHiddenFile(const QString &path, int *error);
// The same inside an open folder: the new file's descriptor, open for reading and writing,
// or -1 (with the system error number).
int createHiddenFileAt(int folder, const QByteArray &name, int *error);

// The mount point of the volume that holds path ("/" included); empty for network file
// systems, which have no local drive, and when nothing of the path exists.
QString driveRoot(const QString &path);

// True for a volume on an internal disk: a local block device that is neither
// removable nor attached through USB.
bool isFixedDrive(const QString &rootPath);

// The decision behind isFixedDrive, on a sysfs tree rooted at sysRoot, for a device
// node such as "/dev/sda1" or a bare name such as "sda1".
bool isFixedBlockDevice(const QString &sysRoot, const QString &device);

// Space on the volume that holds path or, while path does not exist yet, its nearest
// existing parent. Read from the file system itself, not from the mount table, which does
// not list every volume (a chroot whose root is not a mount point).
struct VolumeSpace {
    quint64 bytesFree = 0;      // free space, the part reserved for the administrator included
    quint64 bytesAvailable = 0; // free space an ordinary user may fill
};
// False when the space cannot be read at all (a dead network mount, a symbolic-link loop,
// a part of the path that is not a folder); *error then holds the system error number.
bool volumeSpace(const QString &path, VolumeSpace *space, int *error);

// An identifier of the current start of the operating system: it changes with every
// restart, so data the system held in memory for a file may be lost in between. Empty when
// it cannot be read.
QString bootId();

// Called first at start-up. Keeps the memory the transfers' buffers pass through in the
// process instead of mapping and unmapping it for each chunk read from the network.
void keepTransferBuffersMapped();

// The type of the file system that holds path, as the system names it ("ext4", "vfat").
QString fileSystemType(const QString &path);

// FAT in any of its names: "fat", "fat32", "vfat", "msdos", "fuse.fusefat"; exFAT and
// NTFS are not FAT.
bool isFatFileSystemType(const QString &type);

// Network file systems (NFS, SMB/CIFS, SSHFS and the like).
bool isNetworkFileSystemType(const QString &type);

}
