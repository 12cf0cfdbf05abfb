// evalix: reads arithmetic expressions line by line and prints each whole-number result.
#define KEL_SOURCE "regression-compile-tmp/evalix"
#include "runtime/arith.h"
#include "runtime/frame.h"
#include "runtime/io.h"

// Operator codes as NEXTOP returns them; END is ")" or a newline.
enum { ADD = 1, SUBTRACT, MULTIPLY, DIVIDE, POWER, ASSIGN, END };

// The source lines that reports carry, since evalix keeps no source position.
enum {
    LINE_VARIABLE = 25,
    LINE_UNASSIGNED = 72,
    LINE_OPERAND = 79,
    LINE_NEXTOPD_END = 81,
    LINE_OPERATOR = 95,
    LINE_NEXTOP_END = 97,
    LINE_OPERATE = 107,
};

enum { USER_EVENT = 15, INPUT_ENDED = 9 };

// Indexed by operator code; ":" ranks lowest so that everything to its left is applied first.
static const int PRECEDENCE[ASSIGN + 1] = {0, 1, 1, 2, 2, 3, 0};

static float VARS[26];
static int VARA[26];

static const kel_string no_message = kel_lit("");
static const kel_string variable_text = kel_lit(" variable");
static const kel_string unassigned_text = kel_lit(" unassigned");
static const kel_string operand_text = kel_lit(" operand");
static const kel_string operator_text = kel_lit(" operator");
static const kel_string divide_by_zero_text = kel_lit("divide by zero");

// One activation of EVAL. Both stacks count from 1; operators rise strictly in precedence,
// so three of them and four operands are the most the stacks ever hold.
struct eval_context {
    int operators[1 + 3];
    float operands[1 + 4];
    int operator_count;
    int operand_count;
    int op;
};

static void PUSHOPD(eval_context *c, float x) { c->operands[++c->operand_count] = x; }
static float POPOPD(eval_context *c) { return c->operands[c->operand_count--]; }
static void PUSHOP(eval_context *c, int k) { c->operators[++c->operator_count] = k; }
static int POPOP(eval_context *c) { return c->operators[c->operator_count--]; }

static bool is_letter(int s) { return (s >= 'a' && s <= 'z') || (s >= 'A' && s <= 'Z'); }
static int folded(int letter) { return letter <= 'Z' ? letter + 32 : letter; }

// Prints the text and signals the user event; the handler in main ends the line. Out of
// line, so that the strings it passes by value take no room in each frame of a deep nesting.
[[gnu::noinline, gnu::cold]] static void report_text(const kel_string &text, int line)
{
    _kel_PRINTSTRING(text);
    kel_signal(line, no_message, USER_EVENT, 0, 0);
}

// The offending character and what should have stood there.
static void report(int s, const kel_string &text, int line)
{
    _kel_PRINTSYMBOL(s);
    report_text(text, line);
}

// Each result is rounded to single precision once, as it is pushed; for + - * / the double
// operation on single operands rounds to the same value as the single operation would.
static void OPERATE(eval_context *c)
{
    float b = POPOPD(c);
    float a = POPOPD(c);
    int code = POPOP(c);
    double result;
    switch (code) {
    case ADD: result = double(a) + b; break;
    case SUBTRACT: result = double(a) - b; break;
    case MULTIPLY: result = double(a) * b; break;
    case DIVIDE:
        if (b == 0)
            report_text(divide_by_zero_text, LINE_OPERATE);
        result = double(a) / b;
        break;
    case POWER: result = _kel_REXP(a, _kel_INT(b)); break;
    default: kel_switch_out_of_range("OPN", code, 1, 5, LINE_OPERATE);
    }
    PUSHOPD(c, static_cast<float>(result));
}

static float EVAL(void);

static int next_symbol_skipping(bool newlines_too)
{
    int s;
    while ((s = _kel_NEXTSYMBOL()) == ' ' || (newlines_too && s == '\n'))
        _kel_SKIPSYMBOL();
    return s;
}

static float NEXTOPD(void)
{
    int s = next_symbol_skipping(true);
    if ((s >= '0' && s <= '9') || s == '-' || s == '.') {
        float x;
        _kel_readfloat(&x);
        return x;
    }
    if (s == '(') {
        _kel_SKIPSYMBOL();
        return EVAL();
    }
    _kel_READSYMBOL(&s);
    if (is_letter(s)) {
        int n = folded(s) - 'a';
        if (VARA[n] == 0)
            report(folded(s), unassigned_text, LINE_UNASSIGNED);
        return VARS[n];
    }
    report(s, operand_text, LINE_OPERAND);
    kel_result_missing("NEXTOPD", LINE_NEXTOPD_END);
}

static int NEXTOP(void)
{
    next_symbol_skipping(false);
    int s;
    _kel_READSYMBOL(&s);
    switch (s) {
    case '+': return ADD;
    case '-': return SUBTRACT;
    case '*': return MULTIPLY;
    case '/': return DIVIDE;
    case '^': return POWER;
    case ':': return ASSIGN;
    case ')':
    case '\n': return END;
    }
    report(s, operator_text, LINE_OPERATOR);
    kel_result_missing("NEXTOP", LINE_NEXTOP_END);
}

// The value stays on the stack: it is still the running value of the expression.
static void assign(eval_context *c)
{
    int s;
    _kel_READSYMBOL(&s);
    if (is_letter(s)) {
        int n = folded(s) - 'a';
        VARS[n] = c->operands[c->operand_count];
        VARA[n] = 1;
    } else {
        report(s, variable_text, LINE_VARIABLE);
    }
}

// Evaluates up to and including the next ")" or newline.
static float EVAL(void)
{
    eval_context context;
    eval_context *c = &context;
    c->operator_count = 0;
    c->operand_count = 0;
    PUSHOPD(c, NEXTOPD());
    for (;;) {
        c->op = NEXTOP();
        if (c->op == END) {
            while (c->operator_count > 0)
                OPERATE(c);
            return POPOPD(c);
        }
        while (c->operator_count > 0 &&
               PRECEDENCE[c->operators[c->operator_count]] >= PRECEDENCE[c->op])
            OPERATE(c);
        if (c->op == ASSIGN) {
            assign(c);
        } else {
            PUSHOP(c, c->op);
            PUSHOPD(c, NEXTOPD());
        }
    }
}

int main(int argc, char **argv)
{
    static const kel_string prompt = kel_lit("eval:");
    static const kel_string question_line = kel_lit("?\n");

    _kel_initialise(argc, argv);
    KEL_ON_EVENT(INPUT_ENDED, USER_EVENT) {
        if (_kel_EVENT().event == INPUT_ENDED)
            std::exit(0);
        _kel_PRINTSTRING(question_line);
    } else {
        _kel_SELECTINPUT(0);
        _kel_SELECTOUTPUT(0);
        _kel_PROMPT(prompt);
    }
    // The handler resumes here too, at the input position the abandoned expression left.
    for (;;) {
        float X = EVAL();
        int I = _kel_INT(X);
        // As doubles, so that a saturated I cannot match a value beyond the 32-bit range.
        if (double(I) == double(X))
            _kel_writeint(I, 0);
        _kel_NEWLINE();
    }
}
