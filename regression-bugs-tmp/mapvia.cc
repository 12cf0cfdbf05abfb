// mapvia: reads and writes an integer through a reference, passes it by value and by
// reference, and reads, assigns and passes on a map's integer.
#define KEL_SOURCE "regression-bugs-tmp/mapvia"
#include "runtime/frame.h"
#include "runtime/observe.h"

// MAPSCALAR's integer, kept between calls; here rather than in the routine so that a test
// build can be shown it at the end.
static int LOCAL;

static int USEPOINTER(int &value) { return value; }
static int USESCALAR(int value) { return value; }

static int &MAPSCALAR(int value)
{
    LOCAL = value;
    return LOCAL;
}

static void INCREMENT(int &value) { value = value + 1; }

int main(int argc, char **argv)
{
    // p's target: a variable of its own, distinct from i, starting at 0, so that every
    // comparison holds and the sequence through the map runs.
    int target = 0;
    int *p = &target;
    int i;

    _kel_initialise(argc, argv);
    kel_expose("target", 'i', &target, 1);

    kel_at(25);
    i = *p;
    kel_at(27);
    i = *p + *p;
    kel_at(29);
    i = USESCALAR(*p);
    kel_at(31);
    i = USESCALAR(*p + *p);
    kel_at(33);
    {
        int left = USESCALAR(*p);
        i = left + USESCALAR(*p);
    }
    kel_at(35);
    *p = i;
    kel_at(37);
    *p = *p + i;
    kel_at(39);
    *p = USESCALAR(i);
    kel_at(41);
    *p = USESCALAR(*p);
    kel_at(43);
    *p = USESCALAR(*p + *p);
    kel_at(45);
    *p = -*p;
    kel_at(47);
    i = USEPOINTER(*p);
    kel_at(49);
    {
        int left = USEPOINTER(*p);
        i = left + USEPOINTER(*p);
    }
    kel_at(51);
    *p = USEPOINTER(i);
    kel_at(53);
    *p = USEPOINTER(*p);

    // Each comparison holds unless its left side is below its right; the first that fails
    // ends the program.
    kel_at(57);
    if (*p < i)
        goto done;
    kel_at(59);
    if (*p < USESCALAR(i))
        goto done;
    kel_at(61);
    if (*p < USESCALAR(*p))
        goto done;
    kel_at(63);
    if (*p < USEPOINTER(*p))
        goto done;
    kel_at(65);
    if (*p + i < USESCALAR(i) + i)
        goto done;
    kel_at(67);
    if (*p + i < USESCALAR(*p) + i)
        goto done;
    kel_at(69);
    if (*p + i < USEPOINTER(*p) + i)
        goto done;
    kel_at(71);
    if (USESCALAR(i) < USESCALAR(i))
        goto done;
    kel_at(73);
    if (USESCALAR(i) < USEPOINTER(i))
        goto done;
    kel_at(75);
    if (USEPOINTER(i) < USEPOINTER(i))
        goto done;
    kel_at(77);
    if (USESCALAR(i) + i < USESCALAR(i))
        goto done;
    kel_at(79);
    if (USESCALAR(i) + i < USEPOINTER(i))
        goto done;
    kel_at(81);
    if (USEPOINTER(i) + i < USEPOINTER(i))
        goto done;
    kel_at(83);
    if (*p + USESCALAR(i) < USESCALAR(i))
        goto done;
    kel_at(85);
    if (*p + USESCALAR(i) < USEPOINTER(i))
        goto done;
    kel_at(87);
    if (*p + USEPOINTER(i) < USEPOINTER(i))
        goto done;
    kel_at(89);
    if (*p + i < MAPSCALAR(i) + i)
        goto done;
    kel_at(91);
    if (*p + i < MAPSCALAR(*p) + i)
        goto done;

    // Through the map the call comes first and the value assigned is read after it.
    kel_at(93);
    {
        int &cell = MAPSCALAR(4);
        cell = i;
    }
    kel_at(95);
    {
        int &cell = MAPSCALAR(i);
        cell = i;
    }
    kel_at(97);
    {
        int &cell = MAPSCALAR(*p);
        cell = i;
    }
    kel_at(99);
    {
        int &cell = MAPSCALAR(*p + i);
        cell = i;
    }
    kel_at(101);
    INCREMENT(i);
    kel_at(103);
    INCREMENT(*p);
    kel_at(105);
    INCREMENT(MAPSCALAR(0));
    kel_at(107);
    INCREMENT(MAPSCALAR(i));
    kel_at(109);
    INCREMENT(MAPSCALAR(*p));
    kel_at(111);
    INCREMENT(MAPSCALAR(MAPSCALAR(0)));

done:
    kel_expose("LOCAL", 'i', &LOCAL, 1);
    kel_expose("i", 'i', &i, 1);
    kel_expose("target", 'i', p, 1);
    kel_expose("line", 'i', &_kel_current_line, 1);
    return 0;
}
