// The black-box descriptor: its record layout, the network section written at initialization,
// the black-box and layer sections and connection records written by the query, and the
// pointers it hands out into the live network.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>

#include "network/nn.h"

namespace {

// The descriptor has exactly 60 fields and a connection record 19: a structured binding only
// compiles with exactly as many names as the record has fields.
[[maybe_unused]] void descriptor_field_counts()
{
    [[maybe_unused]] auto &[f0, f1, f2, f3, f4, f5, f6, f7, f8, f9, f10, f11, f12, f13, f14, f15, f16, f17, f18,
                            f19, f20, f21, f22, f23, f24, f25, f26, f27, f28, f29, f30, f31, f32, f33, f34, f35,
                            f36, f37, f38, f39, f40, f41, f42, f43, f44, f45, f46, f47, f48, f49, f50, f51, f52,
                            f53, f54, f55, f56, f57, f58, f59] = comms_buffer;
    // Spot checks of the field types, by position.
    static_assert(std::is_same_v<decltype(f0), const char *>);
    static_assert(std::is_same_v<decltype(f2), int>);
    static_assert(std::is_same_v<decltype(f8), void (*)(float)>);
    static_assert(std::is_same_v<decltype(f10), float (*)(void)>);
    static_assert(std::is_same_v<decltype(f14), int (*)(void)>);
    static_assert(std::is_same_v<decltype(f16), void (*)(unsigned, void (*)(void))>);
    static_assert(std::is_same_v<decltype(f17), int (*)(const char *)>);
    static_assert(std::is_same_v<decltype(f19), char *(*)(void)>);
    static_assert(std::is_same_v<decltype(f21), const char *>);
    static_assert(std::is_same_v<decltype(f34), void (*)(float)>);
    static_assert(std::is_same_v<decltype(f37), void (*)(float *)>);
    static_assert(std::is_same_v<decltype(f41), float *(*)(void)>);
    static_assert(std::is_same_v<decltype(f44), const char *>);
    static_assert(std::is_same_v<decltype(f50), int>);
    static_assert(std::is_same_v<decltype(f53), float *>);
    static_assert(std::is_same_v<decltype(f57), int>);
    static_assert(std::is_same_v<decltype(f59), nn_connection_record *>);
    [[maybe_unused]] auto &[c0, c1, c2, c3, c4, c5, c6, c7, c8, c9, c10, c11, c12, c13, c14, c15, c16, c17, c18] =
        connection_buffer[0];
    static_assert(std::is_same_v<decltype(c5), int>);
    static_assert(std::is_same_v<decltype(c6), const char *>);
    static_assert(std::is_same_v<decltype(c11), float *>);
    static_assert(std::is_same_v<decltype(c12), float *>);
    static_assert(std::is_same_v<decltype(c18), int>);
}

// Named fields sit in table order.
static_assert(offsetof(nn_descriptor, network_name) < offsetof(nn_descriptor, unit_count));
static_assert(offsetof(nn_descriptor, error_string_proc) < offsetof(nn_descriptor, box_number));
static_assert(offsetof(nn_descriptor, get_input_proc) < offsetof(nn_descriptor, layer_number));
static_assert(offsetof(nn_descriptor, layer_deltas) < offsetof(nn_descriptor, layer_connection_count));
static_assert(offsetof(nn_descriptor, field58) < offsetof(nn_descriptor, connections));
static_assert(offsetof(nn_connection_record, weight_count) < offsetof(nn_connection_record, source_number));
static_assert(offsetof(nn_connection_record, weights) < offsetof(nn_connection_record, weight_steps));

// A run of bytes of a record is all zero.
bool zero_bytes(const void *from, const void *to)
{
    for (auto *p = static_cast<const unsigned char *>(from); p < static_cast<const unsigned char *>(to); p++)
        if (*p != 0)
            return false;
    return true;
}

// Expected contents of one connection record.
struct ExpectedConnection {
    int weight_count;
    int source_number;
    const char *source_name;
    int source_size;
    int weights;  // index in network_data
    int steps;
};

void expect_connection(const nn_connection_record &r, const ExpectedConnection &e)
{
    EXPECT_EQ(r.field0, 0);
    EXPECT_EQ(r.field1, 1);
    EXPECT_EQ(r.field2, 0);
    EXPECT_EQ(r.weight_count, e.weight_count);
    EXPECT_EQ(r.field4, 0);
    EXPECT_EQ(r.source_number, e.source_number);
    ASSERT_NE(r.source_name, nullptr);
    EXPECT_STREQ(r.source_name, e.source_name);
    EXPECT_EQ(r.source_size, e.source_size);
    EXPECT_EQ(r.source_dim_x, e.source_size);
    EXPECT_EQ(r.source_dim_y, 1);
    EXPECT_EQ(r.field10, 0);
    EXPECT_EQ(r.weights, network_data + e.weights);
    EXPECT_EQ(r.weight_steps, network_data + e.steps);
    EXPECT_EQ(r.field13, e.source_size);
    EXPECT_EQ(r.field14, 1);
    EXPECT_EQ(r.field15, e.source_size);
    EXPECT_EQ(r.field16, 0);
    EXPECT_EQ(r.field17, 0);
    EXPECT_EQ(r.field18, 0);
}

// The expected records of each layer, by slot.
const ExpectedConnection kOutConnections[3] = {
    {8, -1, "$INPUTS", 2, 110, 126}, {16, 2, "nn:H1", 4, 134, 166}, {8, 1, "nn:H2", 2, 182, 198}};
const ExpectedConnection kH2Connections[2] = {{4, -1, "$INPUTS", 2, 74, 82}, {8, 2, "nn:H1", 4, 86, 102}};
const ExpectedConnection kH1Connections[1] = {{8, -1, "$INPUTS", 2, 50, 66}};

void expect_network_section(const nn_descriptor &d)
{
    ASSERT_NE(d.description_file, nullptr);
    EXPECT_STREQ(d.description_file, "nn.varonel");
    ASSERT_NE(d.network_name, nullptr);
    EXPECT_STREQ(d.network_name, "nn");
    EXPECT_EQ(d.field2, 0);
    EXPECT_EQ(d.field3, 1);
    EXPECT_EQ(d.field4, 0);
    EXPECT_EQ(d.field5, 0);
    EXPECT_EQ(d.unit_count, 10);
    EXPECT_EQ(d.parameter_count, 62);
    EXPECT_EQ(d.set_learning_rate_proc, &nn_set_learning_rate);
    EXPECT_EQ(d.set_inertia_proc, &nn_set_inertia);
    EXPECT_EQ(d.get_learning_rate_proc, &nn_get_learning_rate);
    EXPECT_EQ(d.get_inertia_proc, &nn_get_inertia);
    EXPECT_EQ(d.set_random_init_seed_proc, &nn_set_random_init_seed);
    EXPECT_EQ(d.set_random_init_range_proc, &nn_set_random_init_range);
    EXPECT_EQ(d.init_network_proc, &nn_init_network);
    EXPECT_EQ(d.network_forward_proc, &nn_network_forward);
    EXPECT_EQ(d.network_learn_proc, &nn_network_learn);
    EXPECT_EQ(d.dump_network_proc, &nn_dump_network);
    EXPECT_EQ(d.load_network_proc, &nn_load_network);
    EXPECT_EQ(d.error_string_proc, &nn_error_string);
    EXPECT_EQ(d.connections, connection_buffer);
}

void expect_black_box_section(const nn_descriptor &d)
{
    EXPECT_EQ(d.box_number, 0);
    ASSERT_NE(d.box_name, nullptr);
    EXPECT_STREQ(d.box_name, "nn");
    EXPECT_EQ(d.field22, 1);
    EXPECT_EQ(d.field23, 1);
    EXPECT_EQ(d.layer_count, 3);
    EXPECT_EQ(d.input_size, 2);
    EXPECT_EQ(d.input_dim_x, 2);
    EXPECT_EQ(d.input_dim_y, 1);
    EXPECT_EQ(d.field28, 0);
    EXPECT_EQ(d.field29, 0);
    EXPECT_EQ(d.field30, 0);
    EXPECT_EQ(d.field31, 0);
    EXPECT_EQ(d.propagate_forward_proc, &nn_propagate_forward);
    EXPECT_EQ(d.calc_grad_proc, &nn_calc_grad);
    EXPECT_EQ(d.update_weights_proc, &nn_update_weights);
    EXPECT_EQ(d.get_backprop_counter_proc, &nn_get_backprop_counter);
    EXPECT_EQ(d.set_backprop_counter_proc, &nn_set_backprop_counter);
    EXPECT_EQ(d.set_target_output_proc, &nn_set_target_output);
    EXPECT_EQ(d.get_target_output_proc, &nn_get_target_output);
    EXPECT_EQ(d.get_output_proc, &nn_get_output);
    EXPECT_EQ(d.set_input_proc, &nn_set_input);
    EXPECT_EQ(d.get_input_proc, &nn_get_input);
}

// Layer fields, with the indices of the layer's vectors in network_data.
void expect_layer_section(const nn_descriptor &d, int number, const char *name, int size, int activations,
                          int thresholds, int threshold_steps, int deltas, int connection_count)
{
    EXPECT_EQ(d.layer_number, number);
    EXPECT_EQ(d.field43, 0);
    ASSERT_NE(d.layer_name, nullptr);
    EXPECT_STREQ(d.layer_name, name);
    EXPECT_EQ(d.layer_size, size);
    EXPECT_EQ(d.layer_dim_x, size);
    EXPECT_EQ(d.layer_dim_y, 1);
    EXPECT_EQ(d.field48, 0);
    EXPECT_EQ(d.field49, 0);
    EXPECT_EQ(d.field50, 0);
    EXPECT_EQ(d.field51, 0);
    EXPECT_EQ(d.field52, 0);
    EXPECT_EQ(d.layer_activations, network_data + activations);
    EXPECT_EQ(d.layer_thresholds, network_data + thresholds);
    EXPECT_EQ(d.layer_threshold_steps, network_data + threshold_steps);
    EXPECT_EQ(d.layer_deltas, network_data + deltas);
    EXPECT_EQ(d.layer_connection_count, connection_count);
    EXPECT_EQ(d.field58, number);
}

// A copy of the whole descriptor and connection table, byte for byte.
struct Snapshot {
    unsigned char comms[sizeof comms_buffer];
    unsigned char connections[sizeof connection_buffer];
    Snapshot()
    {
        std::memcpy(comms, &comms_buffer, sizeof comms);
        std::memcpy(connections, connection_buffer, sizeof connections);
    }
    bool unchanged() const
    {
        return std::memcmp(comms, &comms_buffer, sizeof comms) == 0 &&
               std::memcmp(connections, connection_buffer, sizeof connections) == 0;
    }
};

class Query : public ::testing::Test {
protected:
    void SetUp() override
    {
        nn_set_random_init_seed(123);
        nn_set_random_init_range(0.1f);
        ASSERT_EQ(nn_init_network(), 0);
    }
};

}  // namespace

// These run in a fresh process, where nothing has been queried yet.
TEST(QueryFreshProcess, OnlyTheNetworkSectionIsWrittenByInitialization)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            // Before initialization the whole record and table are zero.
            bool ok = zero_bytes(&comms_buffer, &comms_buffer + 1) &&
                      zero_bytes(connection_buffer, connection_buffer + NN_CONNECTION_SLOTS);
            nn_init_network();
            ok = ok && comms_buffer.description_file != nullptr && comms_buffer.parameter_count == 62 &&
                 comms_buffer.connections == connection_buffer && comms_buffer.error_string_proc == &nn_error_string;
            // Fields 20 to 58 and the connection records stay zero until the first query.
            ok = ok && zero_bytes(&comms_buffer.box_number, &comms_buffer.connections) &&
                 zero_bytes(connection_buffer, connection_buffer + NN_CONNECTION_SLOTS);
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(QueryFreshProcess, QueryBeforeInitializationFillsTheModuleTableWithoutCrashing)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            // The connections field is still null: the records go into connection_buffer itself.
            const nn_descriptor *d = network_query(0, 1);
            const bool ok = d == &comms_buffer && d->connections == nullptr && d->layer_size == 2 &&
                            connection_buffer[1].weight_count == 8 &&
                            connection_buffer[1].weights == network_data + 86 && d->description_file == nullptr;
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(Query, NetworkSectionAfterInitialization)
{
    expect_network_section(comms_buffer);
}

TEST_F(Query, ReinitializationRestoresTheNetworkSectionAndKeepsTheRest)
{
    ASSERT_NE(network_query(0, 1), nullptr);
    // A host scribbles over network fields; initialization writes them back.
    comms_buffer.unit_count = 99;
    comms_buffer.network_name = "other";
    comms_buffer.dump_network_proc = nullptr;
    nn_descriptor saved_layer = comms_buffer;
    ASSERT_EQ(nn_init_network(), 0);
    expect_network_section(comms_buffer);
    expect_black_box_section(comms_buffer);
    expect_layer_section(comms_buffer, 1, "nn:H2", 2, 8, 32, 36, 10, 2);
    EXPECT_EQ(comms_buffer.layer_activations, saved_layer.layer_activations);
}

TEST_F(Query, EachLayerAndItsConnections)
{
    nn_descriptor *d = network_query(0, 0);
    ASSERT_EQ(d, &comms_buffer);
    expect_network_section(*d);
    expect_black_box_section(*d);
    expect_layer_section(*d, 0, "nn:Out", 4, 12, 38, 46, 16, 3);
    for (int s = 0; s < 3; s++)
        expect_connection(d->connections[s], kOutConnections[s]);

    d = network_query(0, 1);
    ASSERT_EQ(d, &comms_buffer);
    expect_black_box_section(*d);
    expect_layer_section(*d, 1, "nn:H2", 2, 8, 32, 36, 10, 2);
    for (int s = 0; s < 2; s++)
        expect_connection(d->connections[s], kH2Connections[s]);

    d = nn_query_network(0, 2);
    ASSERT_EQ(d, &comms_buffer);
    expect_black_box_section(*d);
    expect_layer_section(*d, 2, "nn:H1", 4, 0, 20, 28, 4, 1);
    expect_connection(d->connections[0], kH1Connections[0]);
    expect_network_section(*d);
}

TEST_F(Query, SlotsBeyondTheLayerKeepWhatAnEarlierQueryLeft)
{
    ASSERT_NE(network_query(0, 0), nullptr);
    ASSERT_NE(network_query(0, 2), nullptr);
    expect_connection(connection_buffer[0], kH1Connections[0]);
    expect_connection(connection_buffer[1], kOutConnections[1]);
    expect_connection(connection_buffer[2], kOutConnections[2]);
    ASSERT_NE(network_query(0, 1), nullptr);
    expect_connection(connection_buffer[0], kH2Connections[0]);
    expect_connection(connection_buffer[1], kH2Connections[1]);
    expect_connection(connection_buffer[2], kOutConnections[2]);
    // Slots 3 to 5 are never written.
    EXPECT_TRUE(zero_bytes(connection_buffer + 3, connection_buffer + NN_CONNECTION_SLOTS));
}

TEST_F(Query, RecordsGoToTheModuleTableEvenIfAHostRepointedTheField)
{
    nn_connection_record elsewhere[NN_CONNECTION_SLOTS] = {};
    comms_buffer.connections = elsewhere;
    ASSERT_NE(network_query(0, 0), nullptr);
    EXPECT_TRUE(zero_bytes(elsewhere, elsewhere + NN_CONNECTION_SLOTS));
    for (int s = 0; s < 3; s++)
        expect_connection(connection_buffer[s], kOutConnections[s]);
    comms_buffer.connections = nullptr;
    ASSERT_NE(network_query(0, 2), nullptr);
    expect_connection(connection_buffer[0], kH1Connections[0]);
    // Initialization points the field back at the table.
    ASSERT_EQ(nn_init_network(), 0);
    EXPECT_EQ(comms_buffer.connections, connection_buffer);
}

TEST_F(Query, WrongBlackBoxWritesNothing)
{
    ASSERT_NE(network_query(0, 1), nullptr);
    error_string[0] = '\0';
    for (int box : {1, -1, 2}) {
        const Snapshot before;
        EXPECT_EQ(network_query(box, 0), nullptr);
        EXPECT_EQ(nn_query_network(box, 2), nullptr);
        EXPECT_TRUE(before.unchanged()) << "box " << box;
    }
    EXPECT_STREQ(error_string, "");
}

TEST_F(Query, WrongLayerStillWritesTheBlackBoxSection)
{
    ASSERT_NE(network_query(0, 2), nullptr);
    const nn_descriptor layer_before = comms_buffer;
    unsigned char table_before[sizeof connection_buffer];
    std::memcpy(table_before, connection_buffer, sizeof table_before);
    for (int layer : {3, -1, 100, -2147483647 - 1}) {
        // Wipe the black-box section to see it written again.
        std::memset(&comms_buffer.box_number, 0,
                    offsetof(nn_descriptor, layer_number) - offsetof(nn_descriptor, box_number));
        error_string[0] = '\0';
        EXPECT_EQ(network_query(0, layer), nullptr) << "layer " << layer;
        expect_black_box_section(comms_buffer);
        expect_layer_section(comms_buffer, 2, "nn:H1", 4, 0, 20, 28, 4, 1);
        EXPECT_EQ(comms_buffer.layer_name, layer_before.layer_name);
        EXPECT_EQ(std::memcmp(table_before, connection_buffer, sizeof table_before), 0);
        EXPECT_STREQ(error_string, "");
    }
}

TEST_F(Query, PointersReachTheLiveNetwork)
{
    nn_descriptor *d = network_query(0, 0);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->layer_activations, nn_get_output());
    float *out = d->layer_activations;

    float input[2] = {0.25f, -0.75f};
    float target[4] = {1, 0, 0, 1};
    d->set_input_proc(input);
    d->set_target_output_proc(target);
    EXPECT_EQ(nn_get_input(), input);
    EXPECT_EQ(d->get_target_output_proc(), target);
    d->propagate_forward_proc();
    float expected[4];
    std::memcpy(expected, out, sizeof expected);
    // The same forward pass called directly gives the same outputs, read through the pointer.
    input[0] = 0.5f;
    nn_propagate_forward();
    const float other[4] = {out[0], out[1], out[2], out[3]};
    input[0] = 0.25f;
    d->network_forward_proc();
    EXPECT_EQ(std::memcmp(expected, out, sizeof expected), 0);
    EXPECT_NE(std::memcmp(other, out, sizeof other), 0);

    // Weight pointers show current values: a write through the descriptor changes the network.
    nn_connection_record &from_h1 = d->connections[1];
    ASSERT_STREQ(from_h1.source_name, "nn:H1");
    EXPECT_EQ(from_h1.weights[0], network_data[134]);
    from_h1.weights[0] = 5.0f;
    EXPECT_EQ(network_data[134], 5.0f);

    // The accessors through the network section.
    const float rate = d->get_learning_rate_proc();
    d->set_learning_rate_proc(0.125f);
    EXPECT_EQ(nn_get_learning_rate(), 0.125f);
    d->set_learning_rate_proc(rate);
    d->set_backprop_counter_proc(41);
    EXPECT_EQ(nn_get_backprop_counter(), 41);
    d->set_backprop_counter_proc(0);
    EXPECT_EQ(d->error_string_proc(), error_string);
}

TEST_F(Query, PointersStayPutAcrossInitializationAndLearning)
{
    float *before[3];
    for (int layer = 0; layer < 3; layer++) {
        ASSERT_NE(network_query(0, layer), nullptr);
        before[layer] = comms_buffer.layer_activations;
    }
    ASSERT_EQ(nn_init_network(), 0);
    for (int layer = 0; layer < 3; layer++) {
        ASSERT_NE(network_query(0, layer), nullptr);
        EXPECT_EQ(comms_buffer.layer_activations, before[layer]);
    }
    // The steps published for layer 0 are those the weight update writes.
    static float input[2] = {0.5f, 0.5f};
    static float target[4] = {1, 0, 0, 0};
    nn_set_input(input);
    nn_set_target_output(target);
    nn_set_backprop_counter(0);
    ASSERT_NE(network_query(0, 0), nullptr);
    network_learn(3, [] {});
    bool any_step = false;
    for (int i = 0; i < 4; i++)
        any_step = any_step || comms_buffer.layer_threshold_steps[i] != 0.0f;
    EXPECT_TRUE(any_step);
    nn_set_backprop_counter(0);
}
