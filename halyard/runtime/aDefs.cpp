#include "aDefs.h"

namespace {

struct ModelRow {
  int number;
  const char* name;
};

const ModelRow kModels[] = {
    {4, "Wren"},     {5, "Finch"},   {13, "Plover"}, {14, "Tern"},   {15, "Heron"},
    {16, "Egret"},   {17, "Kestrel"}, {18, "Merlin"}, {19, "Osprey"}, {20, "Petrel"},
    {21, "Avocet"},  {22, "Dunlin"}, {23, "Gannet"}, {24, "Linnet"},
};

}  // namespace

const char* aDefs_GetModelName(int model) {
  for (const ModelRow& row : kModels) {
    if (row.number == model) return row.name;
  }
  return "Unknown";
}
