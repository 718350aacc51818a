#pragma once

// The four commands that change the database state. The variant index is the tag written on
// disk, so the order of the alternatives is part of the file format.

#include <string>
#include <variant>

#include "core/memory_entry.hpp"

namespace tessaradb {

struct InsertMemory {  // tag 0: insert the memory, or replace the one with the same id
  MemoryEntry entry;
  friend bool operator==(const InsertMemory&, const InsertMemory&) = default;
};

struct DeleteMemory {  // tag 1: delete the memory and every edge that starts or ends at it
  MemoryId id;
  friend bool operator==(const DeleteMemory&, const DeleteMemory&) = default;
};

struct AddEdge {  // tag 2: add the labelled edge from -> to
  MemoryId from;
  MemoryId to;
  std::string relation;
  friend bool operator==(const AddEdge&, const AddEdge&) = default;
};

struct RemoveEdge {  // tag 3: remove every edge from -> to, whatever its label
  MemoryId from;
  MemoryId to;
  friend bool operator==(const RemoveEdge&, const RemoveEdge&) = default;
};

using Command = std::variant<InsertMemory, DeleteMemory, AddEdge, RemoveEdge>;

}  // namespace tessaradb
