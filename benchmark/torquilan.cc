// torquilan: the synthetic integer benchmark; runs its fixed workload and reports the rate.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "rates.h"

// A test build may lower the count to keep a run under valgrind short; the benchmark
// itself is always built with the full count.
#ifndef TORQUILAN_RUNS
#define TORQUILAN_RUNS 20000000
#endif
constexpr int Number_Of_Runs = TORQUILAN_RUNS;

// The five enumeration values are the integers 0 to 4.
using Enumeration = int;

using Text_30 = char[31];

struct Bench_Record {
  Bench_Record *Ptr_Comp;
  Enumeration Discr;
  Enumeration Enum_Comp;
  int Int_Comp;
  Text_30 Str_Comp;
};
static_assert(sizeof(Bench_Record) == 48);

static Bench_Record *Ptr_Glob;
static Bench_Record *Next_Ptr_Glob;
static int Int_Glob;
static int Bool_Glob;
static char Ch_1_Glob;
static char Ch_2_Glob;
static int Arr_1_Glob[50];
static int Arr_2_Glob[50][50];
static int Reg;
static clock_t Begin_Time;
static clock_t End_Time;
static clock_t User_Time;
static float Microseconds;
static float Torquilans_Per_Second;

// The routines are the measured work: noipa keeps every one of them a real,
// uncloned function that each run calls, however much the optimiser could
// fold across them.

[[gnu::noipa]] static void Proc_7(int Int_1, int Int_2, int *Result)
{
  *Result = Int_1 + 2 + Int_2;
}

[[gnu::noipa]] static Enumeration Func_3(Enumeration Value)
{
  return Value == 2 ? 1 : 0;
}

[[gnu::noipa]] static void Proc_6(Enumeration Value, Enumeration *Result)
{
  *Result = Value;
  if (Func_3(Value) == 0)
    *Result = 3;
  switch (Value) {
  case 0: *Result = 0; break;
  case 1: *Result = Int_Glob > 100 ? 0 : 3; break;
  case 2: *Result = 1; break;
  case 3: break;
  case 4: *Result = 2; break;
  }
}

[[gnu::noipa]] static void Proc_3(Bench_Record **Slot)
{
  if (Ptr_Glob != nullptr)
    *Slot = Ptr_Glob->Ptr_Comp;
  Proc_7(10, Int_Glob, &Ptr_Glob->Int_Comp);
}

[[gnu::noipa]] static void Proc_1(Bench_Record *Record)
{
  Bench_Record *Next = Record->Ptr_Comp;
  *Next = *Ptr_Glob;
  Record->Int_Comp = 5;
  Next->Int_Comp = Record->Int_Comp;
  Next->Ptr_Comp = Record->Ptr_Comp;
  Proc_3(&Next->Ptr_Comp);
  if (Next->Discr == 0) {
    Next->Int_Comp = 6;
    Proc_6(Record->Enum_Comp, &Next->Enum_Comp);
    Next->Ptr_Comp = Ptr_Glob->Ptr_Comp;
    Proc_7(Next->Int_Comp, 10, &Next->Int_Comp);
  } else {
    *Record = *Next;
  }
}

[[gnu::noipa]] static void Proc_2(int *Result)
{
  int Int_Loc = *Result + 10;
  Enumeration Enum_Loc = 0;
  do {
    if (Ch_1_Glob == 'A') {
      Int_Loc -= 1;
      *Result = Int_Loc - Int_Glob;
      Enum_Loc = 0;
    }
  } while (Enum_Loc != 0);
}

[[gnu::noipa]] static void Proc_4()
{
  Bool_Glob = Bool_Glob | (Ch_1_Glob == 'A');
  Ch_2_Glob = 'B';
}

[[gnu::noipa]] static void Proc_5()
{
  Ch_1_Glob = 'A';
  Bool_Glob = 0;
}

[[gnu::noipa]] static void Proc_8(int Arr_1[50], int Arr_2[50][50], int Int_1, int Int_2)
{
  int Int_Loc = Int_1 + 5;
  Arr_1[Int_Loc] = Int_2;
  Arr_1[Int_Loc + 1] = Arr_1[Int_Loc];
  Arr_1[Int_Loc + 30] = Int_Loc;
  for (int Index = Int_Loc; Index <= Int_Loc + 1; ++Index)
    Arr_2[Int_Loc][Index] = Int_Loc;
  Arr_2[Int_Loc][Int_Loc - 1] += 1;
  Arr_2[Int_Loc + 20][Int_Loc] = Arr_1[Int_Loc];
  Int_Glob = 5;
}

[[gnu::noipa]] static Enumeration Func_1(char Ch_1, char Ch_2)
{
  if (Ch_1 != Ch_2)
    return 0;
  Ch_1_Glob = Ch_1;
  return 1;
}

[[gnu::noipa]] static int Func_2(const char *Str_1, const char *Str_2)
{
  int Index = 2;
  char Ch_Loc = 0;
  while (Index <= 2) {
    if (Func_1(Str_1[Index], Str_2[Index + 1]) == 0) {
      Ch_Loc = 'A';
      Index += 1;
    }
  }
  if (Ch_Loc >= 'W' && Ch_Loc <= 'Y')
    Index = 7;
  if (Ch_Loc == 'R')
    return 1;
  if (strcmp(Str_1, Str_2) > 0) {
    Index += 7;
    Int_Glob = Index;
    return 1;
  }
  return 0;
}

static void show_int(const char *label, int value, int expected)
{
  printf("%s%d\n", label, value);
  printf("        should be:   %d\n", expected);
}

static void show_char(const char *label, char value, char expected)
{
  printf("%s%c\n", label, value);
  printf("        should be:   %c\n", expected);
}

static void show_text(const char *label, const char *value, const char *expected)
{
  printf("%s%s\n", label, value);
  printf("        should be:   %s\n", expected);
}

static void show_record(const char *name, const Bench_Record *record, const char *pointer_note,
                        Enumeration discr, Enumeration enum_comp, int int_comp)
{
  puts(name);
  printf("  Ptr_Comp:          %d\n", (int)(intptr_t)record->Ptr_Comp);
  printf("        should be:   %s\n", pointer_note);
  show_int("  Discr:             ", record->Discr, discr);
  show_int("  Enum_Comp:         ", record->Enum_Comp, enum_comp);
  show_int("  Int_Comp:          ", record->Int_Comp, int_comp);
  show_text("  Str_Comp:          ", record->Str_Comp, "TORQUILAN PROGRAM, SOME STRING");
}

static void show_globals()
{
  show_int("Int_Glob:            ", Int_Glob, 5);
  show_int("Bool_Glob:           ", Bool_Glob, 1);
  show_char("Ch_1_Glob:           ", Ch_1_Glob, 'A');
  show_char("Ch_2_Glob:           ", Ch_2_Glob, 'B');
  show_int("Arr_1_Glob[8]:       ", Arr_1_Glob[8], 7);
  printf("Arr_2_Glob[8][7]:    %d\n", Arr_2_Glob[8][7]);
  puts("        should be:   Number_Of_Runs + 10");
  show_record("Ptr_Glob->", Ptr_Glob, "(implementation-dependent)", 0, 2, 17);
  show_record("Next_Ptr_Glob->", Next_Ptr_Glob, "(implementation-dependent), same as above", 0, 1, 18);
}

static void show_rates()
{
  User_Time = elapsed_ticks(Begin_Time, End_Time);
  if (time_is_meaningful(User_Time)) {
    Microseconds = microseconds_per_run(User_Time, Number_Of_Runs);
    Torquilans_Per_Second = runs_per_second(User_Time, Number_Of_Runs);
    printf("Microseconds for one run through Torquilan: ");
    printf("%6.1f \n", Microseconds);
    printf("Torquilans per Second:                      ");
    printf("%d \n", saturating_int(Torquilans_Per_Second));
  } else {
    puts("Measured time too small to obtain meaningful results");
    puts("Please increase number of runs");
  }
}

int main()
{
  Enumeration Enum_Loc;
  int Int_1_Loc, Int_2_Loc, Int_3_Loc;
  Text_30 Str_1_Loc, Str_2_Loc;

  Next_Ptr_Glob = (Bench_Record *)malloc(sizeof(Bench_Record));
  Ptr_Glob = (Bench_Record *)malloc(sizeof(Bench_Record));
  // Without the records every run would write through a null pointer.
  if (Next_Ptr_Glob == nullptr || Ptr_Glob == nullptr) {
    fputs("torquilan: out of memory for the benchmark records\n", stderr);
    return 1;
  }
  Ptr_Glob->Ptr_Comp = Next_Ptr_Glob;
  Ptr_Glob->Discr = 0;
  Ptr_Glob->Enum_Comp = 2;
  Ptr_Glob->Int_Comp = 40;
  strcpy(Ptr_Glob->Str_Comp, "TORQUILAN PROGRAM, SOME STRING");
  strcpy(Str_1_Loc, "TORQUILAN PROGRAM, 1'ST STRING");
  Arr_2_Glob[8][7] = 10;

  puts("");
  puts("Torquilan Benchmark, Version 2.1 (Language: C)");
  puts("");
  puts(Reg ? "Program compiled with 'register' attribute" : "Program compiled without 'register' attribute");
  puts("");
  printf("Execution starts, %d runs through Torquilan\n", Number_Of_Runs);

  Begin_Time = clock();
  for (int Run_Index = 1; Run_Index <= Number_Of_Runs; ++Run_Index) {
    Proc_5();
    Proc_4();
    Int_1_Loc = 2;
    Int_2_Loc = 3;
    strcpy(Str_2_Loc, "TORQUILAN PROGRAM, 2'ND STRING");
    Enum_Loc = 1;
    Bool_Glob = Func_2(Str_1_Loc, Str_2_Loc) == 0;
    while (Int_1_Loc < Int_2_Loc) {
      Int_3_Loc = 5 * Int_1_Loc - Int_2_Loc;
      Proc_7(Int_1_Loc, Int_2_Loc, &Int_3_Loc);
      Int_1_Loc += 1;
    }
    Proc_8(Arr_1_Glob, Arr_2_Glob, Int_1_Loc, Int_3_Loc);
    Proc_1(Ptr_Glob);
    for (char Ch_Index = 'A'; Ch_Index <= Ch_2_Glob; ++Ch_Index) {
      if (Func_1(Ch_Index, 'C') == Enum_Loc) {
        Proc_6(0, &Enum_Loc);
        strcpy(Str_2_Loc, "TORQUILAN PROGRAM, 3'RD STRING");
        Int_2_Loc = Run_Index;
        Int_Glob = Run_Index;
      }
    }
    Int_2_Loc = Int_2_Loc * Int_1_Loc;
    Int_1_Loc = Int_2_Loc / Int_3_Loc;
    Int_2_Loc = 7 * (Int_2_Loc - Int_3_Loc) - Int_1_Loc;
    Proc_2(&Int_1_Loc);
  }
  End_Time = clock();

  puts("Execution ends");
  puts("");
  puts("Final values of the variables used in the benchmark:");
  puts("");
  show_globals();
  show_int("Int_1_Loc:           ", Int_1_Loc, 5);
  show_int("Int_2_Loc:           ", Int_2_Loc, 13);
  show_int("Int_3_Loc:           ", Int_3_Loc, 7);
  show_int("Enum_Loc:            ", Enum_Loc, 1);
  show_text("Str_1_Loc:           ", Str_1_Loc, "TORQUILAN PROGRAM, 1'ST STRING");
  show_text("Str_2_Loc:           ", Str_2_Loc, "TORQUILAN PROGRAM, 2'ND STRING");
  puts("");
  show_rates();
  puts("");
  // The report is the benchmark's result: one that could not be written is a failed run.
  if (fflush(stdout) != 0 || ferror(stdout)) {
    fprintf(stderr, "torquilan: cannot write to standard output: %s\n", strerror(errno));
    return 1;
  }
  return 0;
}
